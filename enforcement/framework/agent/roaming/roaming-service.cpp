#include "enforcement/framework/agent/roaming/roaming-service.h"

#include <glib.h>

#include <cstring>

#include "enforcement/framework/agent/en-roaming.h"
#include "enforcement/platforms/network-location.h"
#include "qapi/qmp-common-types.h"
#include "util/aux-netif.h"
#include "util/error.h"

namespace {

void on_network_change(const char *adapter_id, void *)
{
    if (adapter_id) {
        g_message("[roaming] Received network change event with adapter ID '%s'", adapter_id);
    } else {
        g_message("[roaming] Received network change event - adapter ID has been deleted");
    }
    en_roaming_event(adapter_id);
}

void log_networks(void)
{
    aux_iface_options options;
    options.include_virtual = true;
    Error *err = nullptr;
    NetworkInterfaceList *ifaces = get_network_interfaces(&options, &err);
    if (err) {
        g_message("[roaming] failed getting network connections: %s", error_get_message(err));
        error_free(err);
        return;
    }
    g_autofree char *domain = platform_machine_domain();
    g_autofree char *domain_adapter = domain ? platform_domain_adapter_id(domain, nullptr) : nullptr;
    for (const NetworkInterfaceList *i = ifaces; i; i = i->next) {
        const char *id = i->value->has_adapter_id && i->value->adapter_id ? i->value->adapter_id : "";
        bool office = domain_adapter && strcmp(id, domain_adapter) == 0;
        g_message("[roaming] Network: %s with Adapter ID: %s (%s)", i->value->name, id, office ? "Domain" : "Public");
    }
    qapi_free_NetworkInterfaceList(ifaces);
}

} // namespace

RoamingService::~RoamingService()
{
    Uninitialize();
}

bool RoamingService::Validate(Error **)
{
    return true;
}

bool RoamingService::Initialize(Error **errp)
{
    if (!Validate(errp)) {
        return false;
    }
    if (watching_) {
        return true;
    }
    Error *err = nullptr;
    if (!platform_location_watch_start(on_network_change, nullptr, ROAMING_EVENT_DEBOUNCE_MS, &err)) {
        error_setg(errp, "Failed to register network change events: %s", error_get_message(err));
        error_free(err);
        return false;
    }
    watching_ = true;
    g_message("[roaming] Successfully registered network change events");
    log_networks();
    return true;
}

void RoamingService::Uninitialize()
{
    if (watching_) {
        platform_location_watch_stop();
        watching_ = false;
    }
}
