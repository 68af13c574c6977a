/*
 * Driver logger (log tag "[driver_logger]"): the thread "enforcement_driver_logger" drains
 * the driver's in-memory log through the global enforcement handle and appends it, byte for
 * byte, to a rotating file (20 MiB, 5 rotated files, compressed).
 *
 * Init, start and stop belong to the module's start and cleanup (one thread).
 */
#pragma once

#include <cstdint>

struct Error;

#define EN_DRIVER_LOGGER_BUFFER_SIZE 65536u
#define EN_DRIVER_LOGGER_ROTATE_MIB 20u
#define EN_DRIVER_LOGGER_ROTATE_COUNT 5u

/* Opens the log file; the enforcement handle must be started. */
bool en_driver_logger_init(const char *path, Error **errp);
bool en_driver_logger_start(Error **errp);
/* Asks the thread to leave after the request in progress, without waiting: the cleanup asks
 * before it closes the device, so the close ends the request and the thread goes. */
void en_driver_logger_request_stop(void);
/* Ends and joins the thread, closes the file; nothing when not initialised. */
void en_driver_logger_stop(void);
