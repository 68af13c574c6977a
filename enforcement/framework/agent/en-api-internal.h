/* Seams of the enforcement API for tests only; the module never sets them. */
#pragma once

#include <cstdint>

/* Runs on the answering thread after a lid answer was computed and before it is sent
 * (update: the answer follows a swap). NULL removes it. */
using en_api_lid_reply_hook = void (*)(uint64_t pid, bool update);
void en_api_set_lid_reply_hook_for_test(en_api_lid_reply_hook hook);
