/*
 * A stored policy file is read back at every start: whatever its bytes, reading it,
 * rebuilding its implicit rules and building its index, rule buffers and text must not
 * crash or read out of bounds.
 */
#include <glib.h>

#include <cstddef>
#include <cstdint>

#include "enforcement/framework/agent/en-api.h"
#include "enforcement/framework/agent/en-dump.h"
#include "enforcement/framework/agent/en-implicit-rules.h"
#include "enforcement/framework/agent/en-index.h"
#include "enforcement/framework/agent/en-lid-map.h"
#include "enforcement/framework/agent/en-persistent-storage.h"
#include "enforcement/framework/agent/en-rules.h"
#include "qapi/qmp-enforcement-types.h"
#include "qapi/qmp-input-visitor.h"
#include "qobject/qobject.h"
#include "util/error.h"

namespace {

NetworkInterfaceList *no_interfaces(Error **)
{
    return nullptr;
}

GSList *no_dns(void)
{
    return nullptr;
}

const en_implicit_sources kQuiet = {no_interfaces, no_dns};

void quiet_log(const gchar *, GLogLevelFlags, const gchar *, gpointer) {}

void build_table(const EnforcementChainList *table)
{
    const en_rule_caps_t caps = {true, true};
    uint8_t *buf = nullptr;
    size_t len = 0;
    Error *err = nullptr;
    /* The default limits, as the module builds: an input cannot ask for gigabytes. */
    const en_index_limits_t limits = {8388608, 8388608, 67108864};
    if (en_convert_single_index(table, 64, &limits, &buf, &len, &err)) {
        g_free(buf);
    }
    error_free_and_clear(&err);
    for (const EnforcementChainList *c = table; c; c = c->next) {
        for (const EnforcementRuleList *r = c->value ? c->value->rules : nullptr; r; r = r->next) {
            if (en_rule_build("OUTPUT", "chain", r->value, &caps, &buf, &len, &err)) {
                g_free(buf);
            }
            error_free_and_clear(&err);
        }
    }
    g_free(en_table_dump("OUTPUT", table));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = [] {
        g_log_set_default_handler(quiet_log, nullptr);
        en_implicit_set_sources(&kQuiet);
        return en_lid_map_init();
    }();
    if (!ready) {
        return 0;
    }
    Error *err = nullptr;
    QObject *obj = json_to_input_visitor(reinterpret_cast<const char *>(data), size, &err);
    error_free_and_clear(&err);
    if (!obj) {
        return 0;
    }
    QmpInputVisitor *qiv = qmp_input_visitor_new(obj);
    EnforcementPolicyOutputJson *doc = nullptr;
    visit_type_EnforcementPolicyOutputJson(qmp_input_get_visitor(qiv), &doc, nullptr, &err);
    qmp_input_visitor_cleanup(qiv);
    qobject_decref(obj);
    error_free_and_clear(&err);
    if (!doc) {
        return 0;
    }
    EnforcementPolicyImplicitRuleList *records =
        en_policy_add_implicit_rules(nullptr, &doc->output_table, &doc->input_table, false);
    qapi_free_EnforcementPolicyImplicitRuleList(records);
    en_policy_assign_rule_types(doc->input_table);
    en_policy_assign_rule_types(doc->output_table);
    build_table(doc->input_table);
    build_table(doc->output_table);
    qapi_free_EnforcementPolicyOutputJson(doc);
    en_lid_map_reset();
    return 0;
}
