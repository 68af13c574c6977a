/*
 * The driver control channel: finds the driver file beside the host executable, reads its
 * declared capabilities, installs and starts the driver service when its device is
 * missing, opens the device and carries every request to it with the 16-byte header.
 *
 * Order: en_driver_init, do_en_driver_win_open, requests from any thread, the caller
 * closes the device (platform_device_close), en_driver_free. Requests and opens hold the
 * module lock for reading; en_driver_free waits for them. Log tag "[en_driver]".
 */
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

struct Error;
struct platform_device;

#pragma pack(push, 1)
/* The whole input of every request; little-endian, no padding. */
struct en_ioctl_header {
    uint16_t magic;
    uint8_t version;
    uint8_t selector;
    uint64_t value;
    uint32_t length;
};
#pragma pack(pop)
static_assert(sizeof(en_ioctl_header) == 16);
static_assert(std::endian::native == std::endian::little, "the driver reads the header little-endian");

#define EN_IOCTL_MAGIC 0xE8D3
#define EN_IOCTL_VERSION 4

/* Control codes: device type 0x12, any access, out-direct when data comes back, else in-direct. */
#define EN_IOCTL_READ_EVENT 0x122422u
#define EN_IOCTL_SET_QUEUE_SIZE 0x122439u
#define EN_IOCTL_GET_METRICS 0x122442u
#define EN_IOCTL_SET_POLICY_REVISION 0x122445u
#define EN_IOCTL_INIT_INPUT_TABLE 0x122449u
#define EN_IOCTL_INIT_OUTPUT_TABLE 0x12244Du
#define EN_IOCTL_ADD_CHAIN 0x122451u
#define EN_IOCTL_ADD_RULE 0x122455u
#define EN_IOCTL_SWAP_POLICY 0x122459u
#define EN_IOCTL_LID_REPLY 0x12245Du
#define EN_IOCTL_TRIGGER_REAUTHORIZATION 0x122461u
#define EN_IOCTL_SET_DRIVER_VERBOSITY 0x122465u
#define EN_IOCTL_SET_POLICY_LIMITS 0x122469u
#define EN_IOCTL_BLOCK_NON_TCP_UDP 0x12246Du
#define EN_IOCTL_GET_DRIVER_VERSION 0x122472u
#define EN_IOCTL_DNS_ENABLE 0x122475u
#define EN_IOCTL_DNS_RATE_LIMIT 0x122479u
#define EN_IOCTL_ENFORCEMENT_MODE 0x12247Du
#define EN_IOCTL_SET_EXCLUDED_INTERFACES 0x122481u
#define EN_IOCTL_START_MONITORING 0x122485u
#define EN_IOCTL_GET_DNS_SNAPSHOT 0x12248Au
#define EN_IOCTL_SET_DNS_SNAPSHOT 0x12248Du
#define EN_IOCTL_SYN_SENT_TIMEOUT 0x122491u
#define EN_IOCTL_SET_USER_SESSIONS 0x122495u
#define EN_IOCTL_USER_SESSIONS_MURKY 0x122499u
#define EN_IOCTL_DROP_OUT_OF_SESSION 0x12249Du
#define EN_IOCTL_LIGHT_REVISION_UPDATE 0x1224A1u
#define EN_IOCTL_WINDOWS_FIREWALL_MODE 0x1224A5u
#define EN_IOCTL_GET_DRIVER_LOGS 0x1224C2u
#define EN_IOCTL_SET_CONSUMER_ROLE 0x1224C5u
#define EN_IOCTL_INIT_INPUT_TABLE_INDEX 0x1224F5u
#define EN_IOCTL_INIT_OUTPUT_TABLE_INDEX 0x1224F9u
#define EN_IOCTL_SET_INDEX_LIMITS 0x122501u
#define EN_IOCTL_DNS_BLOCKLIST_POLICY 0x122511u
#define EN_IOCTL_REQ_SUFFICIENT_SIZE 0x122515u
#define EN_IOCTL_GET_CONNECTIONS 0x12251Au
#define EN_IOCTL_DNS_BLOCKLIST_ENABLED 0x122525u
#define EN_IOCTL_SET_SERVICE_NAME_MAP 0x122529u
#define EN_IOCTL_EXISTING_SERVICE_TUPLES 0x12252Du

/* An event read: the record area the header points at, and the output buffer, two areas. */
#define EN_DRIVER_EVENT_AREA_SIZE 48u
#define EN_DRIVER_EVENT_BUFFER_SIZE 65535u
/* Queue-size selectors and the sizes the driver accepts for each. */
#define EN_DRIVER_QUEUE_SELECTOR_0 0
#define EN_DRIVER_QUEUE_SELECTOR_1 1
#define EN_DRIVER_QUEUE_0_MIN 1u
#define EN_DRIVER_QUEUE_0_MAX 32768u
#define EN_DRIVER_QUEUE_1_MIN 128u
#define EN_DRIVER_QUEUE_1_MAX 2048u
/* Events lent to concurrent requests before each further one brings its own. */
#define EN_DRIVER_EVENT_CACHE_SLOTS 64

/* Once per process (a second call returns true at once). false: the caller ends the process. */
/* Win32 code of the calling thread's last failed request (0 after a success). */
uint32_t en_driver_last_error(void);

bool en_driver_init(bool install_if_missing);
void en_driver_free(void);

/* The device handle, or NULL with *errp set. Installs and starts the service when needed. */
platform_device *do_en_driver_win_open(Error **errp);
/* Stops and deletes an installed driver service; true when there was none. */
bool en_clean_existing_driver(Error **errp);

/* The request forms; false after a logged failure. */
bool en_driver_send_value(platform_device *device, uint32_t code, uint64_t value);
/* The driver reads buffer, or writes into it for the "get" requests. */
bool en_driver_send_buffer(platform_device *device, uint32_t code, void *buffer, uint32_t length);
bool en_driver_read_output(platform_device *device, uint32_t code, void *output, uint32_t output_size);
/* event_area: EN_DRIVER_EVENT_AREA_SIZE bytes, where the driver writes the event record
 * (the header carries its address); buffer: the EN_DRIVER_EVENT_BUFFER_SIZE-byte output
 * buffer, apart from it. Waits until an event is pending; ends false when the device
 * closes meanwhile. */
bool en_driver_read_event(platform_device *device, void *event_area, void *buffer, uint32_t *bytes_returned);
/* Refused (false, nothing sent or logged) outside the sizes of the selector. */
bool en_driver_set_queue_size(platform_device *device, uint8_t selector, uint32_t size);

/*
 * Buffer requests sent one after another without waiting for each answer (the chains and
 * rules of a policy table). The driver reads each buffer when it is sent; results are
 * taken in the order sent. Once one fails, the driver runs none of the later ones. A
 * taken failure is logged and becomes the thread's last error, as with
 * en_driver_send_buffer.
 */
struct en_driver_pipeline;
en_driver_pipeline *en_driver_pipeline_new(platform_device *device);
void en_driver_pipeline_send_buffer(en_driver_pipeline *pipeline, uint32_t code, const void *buffer,
                                    uint32_t length);
/* Requests sent whose result was not taken yet. */
size_t en_driver_pipeline_outstanding(const en_driver_pipeline *pipeline);
/* The oldest result not taken yet: true for a success. */
bool en_driver_pipeline_take(en_driver_pipeline *pipeline);
/* Waits for the results not taken, without reporting them, and frees the pipeline. */
void en_driver_pipeline_free(en_driver_pipeline *pipeline);

/* Capabilities the driver file declares; fixed after en_driver_init. */
bool layer4_policy_required(void);
bool sid_rules_supported(void);
bool service_rules_supported(void);
bool ipfilter_dependency(void);

/* For tests. The host executable path used instead of the process image (NULL: the real one). */
void en_driver_set_host_path_for_test(const char *path);
/* For tests. Replaces the sleep before the retry of a disabled service (NULL: real sleep). */
void en_driver_set_retry_sleep_for_test(void (*sleep_fn)(unsigned seconds));
/* Requests currently inside the device call, and how many of them hold a cached event. */
unsigned en_driver_requests_in_flight(void);
unsigned en_driver_cached_events_in_use(void);
