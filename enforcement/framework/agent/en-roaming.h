/*
 * Roaming: enforcement confined to the office network (log tag "[policy]").
 *
 * With roaming on, the interface that reaches the machine's own domain is the office
 * interface; the policy push adds roaming rules that allow the traffic of every other
 * interface. The state (enabled flag, domain list, matched interface) is guarded by the
 * roaming lock, a recursive mutex taken before the policy lock whenever both are held.
 * The implicit-rule builder and the interface listing hook read a snapshot of the
 * match under a leaf lock of their own, so they can run under the policy lock.
 */
#pragma once

#include <glib.h>

#include <cstdint>

struct Error;

/* Creates the roaming lock, clears the state and registers the interface listing hook. */
void en_roaming_init(void);
/* Releases the state and removes the hook; idempotent. */
void en_roaming_cleanup(void);

/*
 * Splits a domain list: letters, digits, '-' and '.' form names, any other character
 * separates them. Fails on an upper-case letter anywhere or on a name longer than
 * EN_ROAMING_DOMAIN_MAX characters. *names gets owned strings (g_free each), NULL for
 * an empty list; it is untouched on failure.
 */
#define EN_ROAMING_DOMAIN_MAX 100
bool parse_domain_list_configuration(const char *config, GSList **names, Error **errp);

/* "agent.roaming_domain_name" changed: the new list replaces the old one unless it does
 * not parse ("Could not parse domain list from configuration %s"); with roaming on the
 * match is recomputed and the policy re-applied. */
bool process_roaming_domain_list_config(const char *config, Error **errp);

/* "agent.enable_roaming_mode" changed to enabled. */
void en_roaming_mode_changed(bool enabled);

/* A network change: adapter_id names the interface that changed, NULL when it is gone. */
void en_roaming_event(const char *adapter_id);

bool en_roaming_is_enabled(void);
/* With roaming on and an office interface matched: true and its LUID. */
bool en_roaming_office_luid(uint64_t *luid);
