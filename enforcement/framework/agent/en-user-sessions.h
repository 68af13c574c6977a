/*
 * The logged-on users' groups for the driver: the accounts of every active session
 * packed into one buffer (0x122495), sent at start, on every session change and every
 * five minutes; when the picture cannot be trusted the driver is told it is murky
 * (0x122499) instead. Log tag "[user_sessions]".
 *
 * Each active session of user uid contributes the packed SIDs {1, uid} (the user),
 * {2, gid} for its primary and supplementary groups, {113, uid} when the account is in
 * the local user database and {114, uid} when it is a local administrator, so the driver
 * can tell these facts per user; the header flags say whether any session has them.
 *
 * Init, free, start and stop run on the enforcement API's thread; every refresh runs on
 * the monitor's own thread.
 */
#pragma once

#include <cstdint>
#include <set>
#include <vector>

struct platform_device;
struct en_user_sessions_monitor;

/* True; a second call warns and returns true. */
bool en_user_sessions_init(void);
void en_user_sessions_free(void);
/* NULL when the module is not initialised or the monitor thread could not start. */
en_user_sessions_monitor *en_user_sessions_start(platform_device *device);
/* Joins the monitor thread and frees ctx; false when the module is not initialised. */
bool en_user_sessions_stop(en_user_sessions_monitor *ctx);

using en_packed_sid = std::vector<uint32_t>; /* sub-authorities, 1 to 15 */

/*
 * The set buffer: size, checksum (64-bit FNV-1a over the buffer with the field zero),
 * the two flags, the count and the SIDs. Empty when the layout cannot be filled (a SID
 * outside 1 to 15 sub-authorities).
 */
std::vector<uint8_t> en_user_sessions_buffer(const std::set<en_packed_sid> &sids, bool local_user, bool local_admin);
/* "S-1-22-a-b..." cut to 95 characters, the last three then "...". */
void en_user_sessions_sid_text(const en_packed_sid &sid, char (&text)[96]);
