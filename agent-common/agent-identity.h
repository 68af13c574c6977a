/*
 * The agent's identity: the UUID given with -u, kept in the data folder's config folder
 * ("agent-uuid") so that later starts without -u know it too.
 */
#pragma once

struct Error;

/* Refuses text that is not a UUID; stores it otherwise (atomic replace). */
bool agent_identity_set_uuid(const char *text, Error **errp);
/* The stored UUID (g_free), or NULL with *errp set. */
char *agent_identity_load_uuid(Error **errp);
