#include "enforcement/platforms/process-privilege.h"

#include <glib.h>
#include <grp.h>
#include <unistd.h>

#include <cerrno>

#include <vector>

static bool admin_group_gid(gid_t *gid)
{
    const char *name = g_getenv("HV_CTRL_ADMIN_GROUP");
    if (!name || !*name) {
        return false;
    }
    long hint = sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 1024);
    struct group entry;
    struct group *found = nullptr;
    int rc;
    while ((rc = getgrnam_r(name, &entry, buf.data(), buf.size(), &found)) == ERANGE && buf.size() < (1u << 20)) {
        buf.resize(buf.size() * 2);
    }
    if (rc != 0 || !found) {
        return false;
    }
    *gid = found->gr_gid;
    return true;
}

bool platform_process_is_administrator(void)
{
    if (geteuid() == 0) {
        return true;
    }
    gid_t admin;
    if (!admin_group_gid(&admin)) {
        return false;
    }
    if (getegid() == admin) {
        return true;
    }
    int count = getgroups(0, nullptr);
    if (count <= 0) {
        return false;
    }
    std::vector<gid_t> groups(static_cast<size_t>(count));
    count = getgroups(count, groups.data());
    for (int i = 0; i < count; i++) {
        if (groups[static_cast<size_t>(i)] == admin) {
            return true;
        }
    }
    return false;
}
