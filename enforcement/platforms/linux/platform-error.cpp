#include "enforcement/platforms/platform-error.h"

#include <glib.h>

namespace {
struct CodeText {
    uint32_t code;
    const char *text;
};

/* The codes the emulated service manager and driver channel produce. */
const CodeText kTexts[] = {
    {0, "The operation completed successfully."},
    {2, "The system cannot find the file specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {31, "A device attached to the system is not functioning."},
    {87, "The parameter is incorrect."},
    {122, "The data area passed to a system call is too small."},
    {193, "%1 is not a valid Win32 application."},
    {577, "Windows cannot verify the digital signature for this file."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {997, "Overlapped I/O operation is in progress."},
    {998, "Invalid access to memory location."},
    {1053, "The service did not respond to the start or control request in a timely fashion."},
    {1056, "An instance of the service is already running."},
    {1058, "The service cannot be started, either because it is disabled or because it has no enabled devices associated with it."},
    {1060, "The specified service does not exist as an installed service."},
    {1062, "The service has not been started."},
    {1072, "The specified service has been marked for deletion."},
    {1073, "The specified service already exists."},
    {1167, "The device is not connected."},
    {1235, "The request was aborted."},
    {1450, "Insufficient system resources exist to complete the requested service."},
    {1814, "The specified resource name cannot be found in the image file."},
    {5023, "The group or resource is not in the correct state to perform the requested operation."},
};
} // namespace

char *platform_error_message(uint32_t code)
{
    for (const CodeText &t : kTexts) {
        if (t.code == code) {
            return g_strdup(t.text);
        }
    }
    return g_strdup_printf("Unknown error %u.", code);
}
