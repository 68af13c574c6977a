/* What the module says about itself ("get-module-info", "get-module-internal-status")
 * and the loaded bundles ("get-bundles-status"). */
#pragma once

/* The module's feature names, NULL-terminated; borrowed for the process lifetime. */
void agent_info_set_features(const char *const *features);
