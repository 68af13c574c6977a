/*
 * Text of a platform error code (the codes the driver channel and the service manager
 * report). Returns a newly allocated string (g_free); never NULL. Thread-safe.
 */
#pragma once
#include <cstdint>

char *platform_error_message(uint32_t code);
