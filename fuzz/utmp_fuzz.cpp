/* The login records parser: any bytes, no crash; whole records only, each to one session. */
#include <utmp.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "enforcement/platforms/user-sessions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<platform_session> sessions;
    std::string why;
    bool ok = platform_parse_utmp(data, size, &sessions, &why);
    if (ok != (size % sizeof(struct utmp) == 0) || sessions.size() > size / sizeof(struct utmp)) {
        abort();
    }
    for (const platform_session &s : sessions) {
        if (s.name.size() > UT_LINESIZE || s.user.size() > UT_NAMESIZE || (s.active && s.user.empty())) {
            abort();
        }
    }
    return 0;
}
