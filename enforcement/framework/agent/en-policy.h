/*
 * The module's enforcement policy: the last accepted tables and revisions, the
 * management servers that must stay reachable, and every road by which a policy reaches
 * the driver (log tag "[policy]").
 *
 * Every change runs one sequence under the policy lock (recursive, held for the whole
 * update): copy, implicit rules, rule types, conversion of both tables, revision, swap,
 * dump, persist. A failed push leaves the driver's previous policy in force, its lid
 * numbering answering, and stores nothing; once the swap succeeded the push succeeded.
 */
#pragma once

#include <cstdint>

struct Error;
struct EnforcementChainList;
struct EnforcementPolicyDerivationDetails;
struct InetSocketAddressList;
struct ModuleInternalStatus;
enum AgentState : int32_t;

/* Module start: lid map, index free thread, the handle, the stored policy from the
 * persistent file when load_persistent, and "policy.implicit_dns_rules". Fails after
 * cleaning up. implicit_dns_locked: "-i" was given (the field is off and stays off). */
bool en_policy_init(bool load_persistent, bool implicit_dns_locked);
/* Opens the driver device of the handle. */
bool en_policy_start_api(Error **errp);
/* Pushes the stored policy unchanged (no implicit rules rebuilt), except that a server
 * list that could not be pushed when it came is built into it first. */
bool en_policy_start(Error **errp);
/* Forgets the stored policy (tables, revisions, last details; the server list stays), so
 * that the module reports no revision and the management side sends a policy again. */
void en_policy_discard_stored(void);
/* Closes the driver device; the handle and the stored policy stay. */
bool en_policy_stop_api(void);
void en_policy_cleanup(void);

/* The driver's name for a policy: revision in the upper 32 bits, DC revision in the lower. */
bool get_policy_full_revision(uint64_t revision, uint64_t dc_inventory_revision, uint64_t *full_revision,
                              Error **errp);

bool en_push_policy_to_driver(const EnforcementChainList *input_table, const EnforcementChainList *output_table,
                              uint64_t revision, uint64_t dc_inventory_revision,
                              const InetSocketAddressList *servers, Error **errp);

/*
 * The common update. Not in place: derives from the given tables; in place: from the
 * stored ones (the given pointers are ignored). Either way it works on copies that
 * become the stored tables only after a successful push, so the stored policy is always
 * the one the driver holds; replaced tables are released on the index free thread.
 * Returns the details also after a failed push (errp tells); NULL without a handle.
 */
EnforcementPolicyDerivationDetails *update_enforcement_policy(EnforcementChainList *input_table,
                                                              EnforcementChainList *output_table, uint64_t revision,
                                                              uint64_t dc_inventory_revision,
                                                              const InetSocketAddressList *servers, bool in_place,
                                                              bool log_change, bool roaming, Error **errp);

/* The server address update: nothing happens when the list equals the stored one in any
 * order; otherwise the stored policy is re-derived with it. */
EnforcementPolicyDerivationDetails *en_policy_set_server_addresses(const InetSocketAddressList *servers,
                                                                   Error **errp);

/* Roaming's re-application: the stored policy re-derived in place with the roaming flag;
 * its details become the last details. Callers hold the roaming lock (taken first). */
bool en_policy_update_for_roaming(bool roaming, Error **errp);

bool en_policy_is_active(void);
AgentState en_policy_agent_state(void);
void en_policy_set_agent_state(AgentState state);

/* Fallback decision after a push that did not bring a policy into force, and the hooks. */
void en_policy_fallback_decision(void);
void en_policy_enable_fallback(void);
void en_policy_disable_fallback(void);

/* The module's internal status (the descriptor's internal_status_cb). */
ModuleInternalStatus *en_policy_internal_status(Error **errp);
