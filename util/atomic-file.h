/*
 * Whole-file replacement for the agent's persisted JSON files. Safe from any thread as
 * long as two callers never replace the same path at once.
 */
#pragma once

#include <cstddef>

struct Error;

/*
 * Replaces path's content with len bytes of data in one step: a temporary file beside
 * path is written, synced and renamed over it, so that a crash or a failure at any point
 * leaves either the previous content or the new one. The parent folder is created (0750)
 * when missing. On failure the previous file is untouched, no temporary file is left and
 * *errp carries the system's message.
 */
bool atomic_file_replace(const char *path, const char *data, size_t len, int mode, Error **errp);
