#include "enforcement/framework/agent/en-roaming.h"

#include <cstring>
#include <mutex>
#include <string>

#include "enforcement/framework/agent/en-config.h"
#include "enforcement/framework/agent/en-policy.h"
#include "enforcement/platforms/network-location.h"
#include "qapi/qmp-common-types.h"
#include "util/aux-netif.h"
#include "util/error.h"

namespace {

/* The roaming lock and everything it guards; static, so usable before init and after cleanup. */
GRecMutex s_lock;
bool s_enabled;
GSList *s_domains; /* owned names */
bool s_matched;
NetworkInterface *s_matched_iface;

/* The leaf copy the builder and the listing hook read; never held while taking a lock. */
std::mutex s_snapshot_lock;
bool s_snap_enabled;
bool s_snap_matched;
uint64_t s_snap_luid;

struct RoamingLock {
    RoamingLock() { g_rec_mutex_lock(&s_lock); }
    ~RoamingLock() { g_rec_mutex_unlock(&s_lock); }
    RoamingLock(const RoamingLock &) = delete;
    RoamingLock &operator=(const RoamingLock &) = delete;
};

void publish_locked(void)
{
    std::lock_guard<std::mutex> guard(s_snapshot_lock);
    s_snap_enabled = s_enabled;
    s_snap_matched = s_matched && s_matched_iface && s_matched_iface->has_luid;
    s_snap_luid = s_snap_matched ? s_matched_iface->luid : 0;
}

void clear_match_locked(void)
{
    qapi_free_NetworkInterface(s_matched_iface);
    s_matched_iface = nullptr;
    s_matched = false;
    publish_locked();
}

void free_domains(GSList *names)
{
    g_slist_free_full(names, g_free);
}

NetworkInterfaceList *roaming_interfaces(Error **errp)
{
    aux_iface_options options;
    options.include_loopback = false;
    options.up_only = true;
    options.include_virtual = true;
    options.include_bonding = true;
    options.include_vlan = true;
    options.include_excluded = false;
    return get_network_interfaces(&options, errp);
}

/* Called with the roaming lock held; the result is the matched flag. */
bool match_domain_interface_locked(void)
{
    g_autofree char *domain = platform_machine_domain();
    if (!domain) {
        g_message("[policy] Machine is not a member of any domain, skipping romaing domain interface update");
        clear_match_locked();
        return false;
    }
    bool listed = false;
    for (GSList *n = s_domains; n && !listed; n = n->next) {
        listed = strcmp(static_cast<const char *>(n->data), domain) == 0;
    }
    if (!listed) {
        g_message("[policy] Could not find match between machine's domain name %s and configuration", domain);
        clear_match_locked();
        return false;
    }
    Error *err = nullptr;
    g_autofree char *adapter_id = platform_domain_adapter_id(domain, &err);
    if (!adapter_id) {
        g_message("[policy] Failed getting interface adapter ID: %s", error_get_message(err));
        error_free(err);
        clear_match_locked();
        return false;
    }
    NetworkInterfaceList *ifaces = roaming_interfaces(&err);
    if (err) {
        g_message("[policy] Failed getting network interfaces: %s", error_get_message(err));
        error_free(err);
        clear_match_locked();
        return false;
    }
    const NetworkInterface *found = nullptr;
    for (const NetworkInterfaceList *i = ifaces; i; i = i->next) {
        if (i->value->has_adapter_id && i->value->adapter_id && strcmp(i->value->adapter_id, adapter_id) == 0) {
            found = i->value;
        }
    }
    clear_match_locked();
    if (found) {
        s_matched_iface = qapi_copy_NetworkInterface(found);
        s_matched = true;
        publish_locked();
    }
    qapi_free_NetworkInterfaceList(ifaces);
    return s_matched;
}

/* Called with the roaming lock held, which the policy lock inside nests under. */
void reapply_locked(bool roaming)
{
    g_message("[policy] Updating enforcement policy based on Roaming configuration");
    Error *err = nullptr;
    if (!en_policy_update_for_roaming(roaming, &err)) {
        g_warning("[policy] %s", error_get_message(err));
    }
    error_free(err);
}

void reevaluate_locked(void)
{
    bool matched = match_domain_interface_locked();
    g_message("[policy] Roaming is enabled - %s",
              matched ? "found a domain interface match" : "could not find a domain interface match");
    reapply_locked(true);
}

void mark_office(NetworkInterfaceList *list)
{
    uint64_t luid;
    if (!en_roaming_office_luid(&luid)) {
        return;
    }
    for (NetworkInterfaceList *i = list; i; i = i->next) {
        i->value->has_category = true;
        i->value->category =
            i->value->has_luid && i->value->luid == luid ? NETWORK_CATEGORY_OFFICE : NETWORK_CATEGORY_HOME;
    }
}

} // namespace

void en_roaming_init(void)
{
    {
        RoamingLock guard;
        s_enabled = false;
        free_domains(s_domains);
        s_domains = nullptr;
        clear_match_locked();
    }
    aux_set_iface_list_hook(mark_office);
    static const en_roaming_hooks kHooks = {en_roaming_mode_changed, process_roaming_domain_list_config};
    en_config_set_roaming_hooks(&kHooks);
}

void en_roaming_cleanup(void)
{
    en_config_set_roaming_hooks(nullptr);
    aux_set_iface_list_hook(nullptr);
    RoamingLock guard;
    free_domains(s_domains);
    s_domains = nullptr;
    s_enabled = false;
    clear_match_locked();
}

bool parse_domain_list_configuration(const char *config, GSList **names, Error **errp)
{
    GSList *out = nullptr;
    std::string name;
    const char *text = config ? config : "";
    for (const char *p = text;; ++p) {
        char c = *p;
        if (g_ascii_isupper(c)) {
            error_setg(errp, "Domain name cannot have upper-case characters: %s", text);
            free_domains(out);
            return false;
        }
        if (c && (g_ascii_isalnum(c) || c == '-' || c == '.')) {
            if (name.size() == EN_ROAMING_DOMAIN_MAX) {
                error_setg(errp, "Domain name longer then expected: %d", EN_ROAMING_DOMAIN_MAX);
                free_domains(out);
                return false;
            }
            name.push_back(c);
            continue;
        }
        if (!name.empty()) {
            out = g_slist_prepend(out, g_strdup(name.c_str()));
            name.clear();
        }
        if (!c) {
            break;
        }
    }
    *names = g_slist_reverse(out);
    return true;
}

bool process_roaming_domain_list_config(const char *config, Error **errp)
{
    RoamingLock guard;
    GSList *names = nullptr;
    Error *err = nullptr;
    if (!parse_domain_list_configuration(config, &names, &err)) {
        g_warning("[policy] %s", error_get_message(err));
        error_free(err);
        error_setg(errp, "Could not parse domain list from configuration %s", config ? config : "");
        return false;
    }
    free_domains(s_domains);
    s_domains = names;
    if (s_enabled) {
        reevaluate_locked();
    } else {
        g_message("[policy] Roaming is disabled - skipping roaming enforcement policy update");
    }
    /* A valid list is accepted whether roaming is on or not: it is kept for when it is. */
    return true;
}

void en_roaming_mode_changed(bool enabled)
{
    RoamingLock guard;
    if (enabled) {
        if (!s_domains) {
            g_message("[policy] Roaming mode has been enabled - a domain interface hasn't been matched yet, waiting "
                      "for domain configuration update");
            s_enabled = true;
            publish_locked();
            return;
        }
        g_message("[policy] Roaming mode has been enabled - enforcement policy will be disabled outside of the "
                  "office network");
        s_enabled = true;
        publish_locked();
        if (!match_domain_interface_locked()) {
            g_message("[policy] Could not find a domain interface match");
        }
    } else {
        if (!s_enabled) {
            g_message("[policy] Roaming state is already disabled, skipping enforcement policy update");
            return;
        }
        g_message("[policy] Roaming mode has been disabled - enforcement policy will be enabled outside of the "
                  "office network");
        s_enabled = false;
        clear_match_locked();
    }
    reapply_locked(enabled);
}

void en_roaming_event(const char *adapter_id)
{
    if (adapter_id) {
        Error *err = nullptr;
        aux_adapter_info *info = aux_get_iface_by_adapter_id(adapter_id, &err);
        if (info) {
            g_message("[policy] Roaming event interface name: %s, adapter ID: %s, MAC Address: %s", info->name,
                      adapter_id, info->hardware_address ? info->hardware_address : "");
        } else {
            g_message("[policy] Failed getting roaming event interface addresses: %s",
                      err ? error_get_message(err) : "no interface with this adapter ID");
        }
        aux_adapter_info_free(info);
        error_free(err);
    }
    RoamingLock guard;
    if (s_enabled) {
        reevaluate_locked();
    } else {
        g_message("[policy] Roaming mode is disabled - skipping roaming policy adaptation");
    }
}

bool en_roaming_is_enabled(void)
{
    std::lock_guard<std::mutex> guard(s_snapshot_lock);
    return s_snap_enabled;
}

bool en_roaming_office_luid(uint64_t *luid)
{
    std::lock_guard<std::mutex> guard(s_snapshot_lock);
    if (!s_snap_enabled || !s_snap_matched) {
        return false;
    }
    *luid = s_snap_luid;
    return true;
}
