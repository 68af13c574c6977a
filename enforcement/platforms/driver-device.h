/*
 * Device I/O and service control for the kernel driver, as the Win32 calls give them
 * (CreateFile/DeviceIoControl/CloseHandle, OpenSCManager/OpenService/CreateService/
 * StartService/ControlService/DeleteService). On Linux they reach the emulated driver.
 * Failures return false or NULL with *win32_error set to the Win32 code.
 */
#pragma once

#include <cstdint>

struct platform_device;
/* 2 when the device does not exist. */
platform_device *platform_device_open(const char *device_name, uint32_t *win32_error);
/* Concurrent calls are allowed; a request waiting when the device closes ends with 995. */
bool platform_device_ioctl(platform_device *device, uint32_t code, const void *in, uint32_t in_len, void *out,
                           uint32_t out_len, uint32_t *returned, uint32_t *win32_error);
void platform_device_close(platform_device *device);

struct platform_scm;
struct platform_service;
platform_scm *platform_scm_open(uint32_t access, uint32_t *win32_error);
void platform_scm_close(platform_scm *scm);
/* 1060 when the service does not exist. */
platform_service *platform_service_open(platform_scm *scm, const char *name, uint32_t access, uint32_t *win32_error);
/* dependency: NULL or the single service name the driver depends on. */
platform_service *platform_service_create(platform_scm *scm, const char *name, const char *display_name,
                                          uint32_t access, uint32_t type, uint32_t start_type,
                                          uint32_t error_control, const char *binary_path, const char *dependency,
                                          uint32_t *win32_error);
/* 1056 already running, 577 bad image signature, 1058 disabled, 2 binary missing. */
bool platform_service_start(platform_service *service, uint32_t *win32_error);
bool platform_service_stop(platform_service *service, uint32_t *win32_error);
bool platform_service_delete(platform_service *service, uint32_t *win32_error);
void platform_service_close(platform_service *service);

/* String resource id of a driver file (the "<id> <text>" lines of the emulated driver
 * file); a newly allocated text, or NULL with *win32_error (2 file missing, 1814 no such
 * resource). */
char *platform_load_string_resource(const char *file, unsigned id, uint32_t *win32_error);
