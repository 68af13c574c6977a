/*
 * Device I/O and service control for the kernel driver, as the Win32 calls give them
 * (CreateFile/DeviceIoControl/CloseHandle, OpenSCManager/OpenService/CreateService/
 * StartService/ControlService/DeleteService). On Linux the driver is the daemon hv-endrd:
 * the device is its socket $HV_RUNTIME_DIR/hv-enforcement.sock, and the service is the
 * daemon process, found beside the service's image (the driver file), started detached
 * with its pid file hv-endrd.pid in the run-time folder and stopped with SIGTERM.
 * Failures return false or NULL with *win32_error set to the Win32 code.
 *
 * Linux emulation, beyond what the emulated driver itself does:
 *  - the device is exclusive, as the real one: while a handle is open (in any process of
 *    the machine: a lock file under $HV_RUNTIME_DIR, default /run/holvenstad), a second
 *    open fails with 5;
 *  - a driver file may carry attribute lines besides its string resources:
 *    "signed FALSE" makes the start of a service with that image fail with 577 (the image
 *    signature check), "device FALSE" makes the started driver expose no device (open
 *    fails with 2 while the service runs);
 *  - a service can be disabled (platform_service_set_disabled); starting it then fails
 *    with 1058. Deleting the service forgets the setting.
 */
#pragma once

#include <cstdint>
#include <string>

struct platform_device;
/* 2 when the device does not exist. */
platform_device *platform_device_open(const char *device_name, uint32_t *win32_error);
/* Concurrent calls are allowed; a request waiting when the device closes ends with 995. */
bool platform_device_ioctl(platform_device *device, uint32_t code, const void *in, uint32_t in_len, void *out,
                           uint32_t out_len, uint32_t *returned, uint32_t *win32_error);
/*
 * Overlapped requests (DeviceIoControl with an OVERLAPPED, then GetOverlappedResult), for
 * requests that return no output: begin sends one and returns at once, result waits for it
 * and releases *ov (exactly once per begun request; the handle is not shut down before
 * every begun request's result was taken). The driver runs the requests of a handle in the
 * order begun. group: 0, or a number from platform_device_group; once a request of a group
 * fails, the driver runs no later request of that group and they end with 1235.
 */
struct platform_overlapped;
uint32_t platform_device_group(platform_device *device);
bool platform_device_ioctl_begin(platform_device *device, uint32_t code, const void *in, uint32_t in_len,
                                 uint32_t group, platform_overlapped **ov, uint32_t *win32_error);
bool platform_device_ioctl_result(platform_device *device, platform_overlapped *ov, uint32_t *win32_error);
/* Ends the handle: waiting requests end with 995, later ones fail with 6; the record stays
 * valid (for threads that still hold it) until platform_device_close. Idempotent. */
void platform_device_shutdown(platform_device *device);
/* Shuts the handle down if needed and frees it. */
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
/* The start type switched to or from disabled (ChangeServiceConfig); 1060 when not installed. */
bool platform_service_set_disabled(platform_service *service, bool disabled, uint32_t *win32_error);
void platform_service_close(platform_service *service);

/* What the manager knows of the driver service, for tools and tests. */
struct platform_service_status {
    bool installed = false;
    bool running = false;
    std::string binary_path;
    bool ipfilter_dependency = false;
    int pid = 0; /* the driver daemon's, 0 when it does not run */
};
bool platform_service_query(platform_service_status *status);

/*
 * A driver file loaded as a data file (LoadLibraryEx with LOAD_LIBRARY_AS_DATAFILE): NULL
 * with *win32_error 2 (missing), 3 (directory missing), 5 (unreadable) or 193 (a line that
 * starts with a digit but is no "<id> <text>" entry). Lines starting with '#' and blank
 * lines are ignored; other lines are attributes ("<key> <value>", see above).
 */
struct platform_resource_file;
platform_resource_file *platform_resource_file_load(const char *file, uint32_t *win32_error);
/* The text of resource id (everything after the first space, trailing blanks kept), newly
 * allocated; NULL with 1814 when the file has no non-empty resource id. */
char *platform_resource_file_string(const platform_resource_file *file, unsigned id, uint32_t *win32_error);
void platform_resource_file_free(platform_resource_file *file);

/* String resource id of a driver file (the "<id> <text>" lines of the emulated driver
 * file); a newly allocated text, or NULL with *win32_error (2 file missing, 1814 no such
 * resource). */
char *platform_load_string_resource(const char *file, unsigned id, uint32_t *win32_error);
