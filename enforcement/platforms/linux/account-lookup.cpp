#include "enforcement/platforms/account-lookup.h"

#include <glib.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "util/error.h"

namespace {

constexpr uint32_t kUserSubAuthority = 1;
/* LookupAccountSid's code for a SID without an account. */
constexpr uint32_t kErrorNoneMapped = 1332;

const char *const kDefaultUnitPath = "/etc/systemd/system:/run/systemd/system:/lib/systemd/system:/usr/lib/systemd/system";

std::string sid_text(uint8_t count, const uint32_t *sub_authorities)
{
    std::string text = "S-1-22";
    for (uint8_t i = 0; i < count; i++) {
        text += '-';
        text += std::to_string(sub_authorities[i]);
    }
    return text;
}

char *user_name(uid_t uid)
{
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 4096);
    struct passwd pw{};
    struct passwd *found = nullptr;
    int rc;
    while ((rc = getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found)) == ERANGE && buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    return rc == 0 && found && found->pw_name ? g_strdup(found->pw_name) : nullptr;
}

} // namespace

char *lookup_name_from_nt_auth_sid(uint8_t count, const uint32_t *sub_authorities, Error **errp)
{
    if (count < 1 || count > 8 || !sub_authorities) {
        error_setg(errp, "cannot initialize a SID with %u subauthorities", static_cast<unsigned>(count));
        return nullptr;
    }
    char *name = nullptr;
    if (count == 2 && sub_authorities[0] == kUserSubAuthority) {
        name = user_name(static_cast<uid_t>(sub_authorities[1]));
    }
    if (!name) {
        error_setg_win32(errp, kErrorNoneMapped, "no account for %s", sid_text(count, sub_authorities).c_str());
    }
    return name;
}

char *platform_parse_unit_description(const char *text, size_t length)
{
    if (!text) {
        return nullptr;
    }
    std::string_view rest(text, length);
    bool in_unit = false;
    std::string found;
    bool have = false;
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.remove_suffix(1);
        }
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            line.remove_prefix(1);
        }
        if (!line.empty() && line.front() == '[') {
            in_unit = line == "[Unit]";
            continue;
        }
        if (!in_unit || line.substr(0, 11) != "Description") {
            continue;
        }
        std::string_view value = line.substr(11);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
            value.remove_prefix(1);
        }
        if (value.empty() || value.front() != '=') {
            continue;
        }
        value.remove_prefix(1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
            value.remove_prefix(1);
        }
        found.assign(value);
        have = true;
    }
    return have && !found.empty() ? g_strdup(found.c_str()) : nullptr;
}

char *platform_service_display_name(const char *service)
{
    if (!service || !service[0] || strchr(service, '/')) {
        return nullptr;
    }
    const char *path = g_getenv("HV_UNIT_PATH");
    g_auto(GStrv) dirs = g_strsplit(path && path[0] ? path : kDefaultUnitPath, ":", -1);
    std::string with_suffix = std::string(service) + ".service";
    for (char **dir = dirs; *dir; dir++) {
        for (const std::string &name : {with_suffix, std::string(service)}) {
            g_autofree char *file = g_build_filename(*dir, name.c_str(), nullptr);
            g_autofree char *text = nullptr;
            gsize length = 0;
            if (g_file_get_contents(file, &text, &length, nullptr)) {
                return platform_parse_unit_description(text, length);
            }
        }
    }
    return nullptr;
}
