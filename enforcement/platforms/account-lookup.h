/*
 * Names of the accounts and services that connection records refer to. Reentrant; no
 * shared state.
 */
#pragma once

#include <cstddef>
#include <cstdint>

struct Error;

/*
 * The account name of the SID of the NT authority made of count sub-authorities (a newly
 * allocated string, g_free). Linux users travel as S-1-22-1-uid: two sub-authorities,
 * 1 and the uid, named from the user database. NULL with errp set when count is outside
 * 1 to 8 ("cannot initialize a SID with %u subauthorities") or no account has the SID.
 */
char *lookup_name_from_nt_auth_sid(uint8_t count, const uint32_t *sub_authorities, Error **errp);

/*
 * The display name of a service (g_free): the Description of its systemd unit, found as
 * NAME or NAME.service in the unit folders ($HV_UNIT_PATH, colon-separated, or the
 * system's). NULL when there is no such unit or it has no description.
 */
char *platform_service_display_name(const char *service);

/* The Description of a unit file's text: the last one in its [Unit] section; NULL when none. */
char *platform_parse_unit_description(const char *text, size_t length);
