/* Whether this process may administer the agents (control commands). */
#pragma once

/*
 * True when the process runs as an administrator. On Linux that is an effective uid of 0,
 * or membership (effective gid or a supplementary group) of the group named by
 * $HV_CTRL_ADMIN_GROUP when that variable is set and the group exists.
 */
bool platform_process_is_administrator(void);
