/*
 * The emulated kernel driver ("endr"), the stand-in for the enforcement driver on Linux.
 * It runs inside the driver daemon hv-endrd (hv-endrd.cpp), which serves it on the device
 * socket (endr-device-server.h) and the control socket; tests may run the same servers
 * in-process. It decodes every request strictly: a malformed one fails like a driver
 * would, it never crashes. Its state lives in memory: a new daemon starts empty.
 *
 * Every function returns a Win32 error code: 0 for success.
 */
#pragma once

#include <cstddef>
#include <cstdint>

/* Service manager side: the "hv-enforcement" kernel-driver service. */
struct endr_service_info {
    bool installed;
    bool running;
    bool marked_for_delete;
    char binary_path[512];
    bool ipfilter_dependency;
};
uint32_t endr_service_query(endr_service_info *info);
/* 1073 when it exists already. */
uint32_t endr_service_install(const char *binary_path, bool ipfilter_dependency);
/* 1060 when not installed, 1056 when running, 2 when the binary file is missing. */
uint32_t endr_service_start(void);
/* 1062 when not running. */
uint32_t endr_service_stop(void);
/* 1060 when not installed; a running service is stopped first. */
uint32_t endr_service_delete(void);

/* Device side: "\\.\hv-enforcement" exists while the service runs. */
struct endr_device;
/* 2 when the service is not running; one open handle at a time is enough for the module. */
uint32_t endr_device_open(endr_device **device);
/*
 * One DeviceIoControl: in is the 16-byte request header; out is the output buffer.
 * Buffers whose address and length the header carries are read or written in place.
 * Blocks for the event read until an event is available or the device is closed
 * (then 995). Safe to call from many threads at once.
 */
uint32_t endr_device_ioctl(endr_device *device, uint32_t code, const void *in, uint32_t in_len, void *out,
                           uint32_t out_len, uint32_t *returned);
/* Wakes every waiting request with 995; later requests fail with 6. The handle stays valid. */
void endr_device_cancel(endr_device *device);
/* Cancels, waits for the requests in progress, then releases the handle. */
void endr_device_close(endr_device *device);
/* For the process that holds the driver: keeps memory it frees for reuse. Each push frees
 * the previous policy's decoded rules (tens of MiB) and builds the next one, which would
 * otherwise go back to the system and be faulted in again, page by page. */
void endr_keep_freed_memory(void);

/*
 * Classifies a connection against the active policy, by the semantics documented in
 * endr-policy.h. Addresses in network byte order (IPv4: the first 4 bytes). Lids: the
 * given ones, else those of the running process pid, asked of the module with a lid
 * request when none recorded belong to it (endr-engine.h). 87 for a bad argument.
 */
struct endr_connection {
    bool inbound;
    uint8_t protocol; /* 0 TCP, 1 UDP, 2 ICMP */
    bool ipv6;
    uint8_t local[16];
    uint8_t remote[16];
    uint16_t local_port;
    uint16_t remote_port;
    uint64_t pid;
    uint8_t lid_count;
    uint16_t lids[8];
    const char *dns; /* NULL or "" for none */
    bool has_icmp_type;
    uint8_t icmp_type;
    bool has_icmp_code;
    uint8_t icmp_code;
    /* Count every candidate into endr_verdict::candidates (a pass over the whole index);
     * otherwise it stays 0 and the search stops at the deciding rule. */
    bool count_candidates;
};
struct endr_verdict {
    uint32_t verdict; /* 1 BLOCK, 2 ALLOW */
    char rule_id[128]; /* "" when no rule matched */
    int64_t rule_number; /* table-wide rule number, -1 when no rule matched */
    uint64_t candidates;
};
uint32_t endr_classify(const endr_connection *conn, endr_verdict *out);

/*
 * Control requests, as the control socket serves them: one JSON object in
 * ({"command": "status"}, ...), one JSON reply out ({"return": {...}} or
 * {"error": {"desc": ..., "code": win32}}), to release with g_free. Without an open
 * device in this process only "status", "fail", "set-version" and "shutdown" are
 * served; the others answer with error code 21 (not ready).
 */
char *endr_control_request(const char *json, size_t len);
/* Longest control request the control socket takes; a longer one is dropped unanswered. */
#define ENDR_CONTROL_MAX_REQUEST 65536u
/* $HV_ENDR_EMU_ADDRESS, or ipc://holvenstad_endr_emu.ipc; release with g_free. */
char *endr_control_address(void);
