/*
 * The driver's queues and policies (queued events, connection records, log bytes, staged
 * and active policy buffers, recorded lid replies), held by the daemon for as long as it
 * runs. Everything here is guarded by Engine::mu.
 */
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "enforcement/driver-daemon/endr-fastpath.h"
#include "enforcement/driver-daemon/endr-policy.h"
#include "enforcement/driver-daemon/endr-wire.h"

namespace endr {

/* Rule buffers are kept whole beside their decoded form, which the classifier reads. */
struct StagedChain {
    std::string name;
    uint32_t announced_rules = 0;
    std::vector<std::vector<uint8_t>> rules;
    std::vector<DecodedRule> decoded;
    std::vector<uint8_t> flags; /* fastpath_rule_flags of each decoded rule */
};

struct StagedTable {
    bool initialised = false;
    uint64_t announced_chains = 0;
    std::optional<std::vector<uint8_t>> index;
    IndexSummary index_summary{};
    DecodedIndex decoded_index;
    FastIndex fast_index;
    std::vector<StagedChain> chains;
    /* At the swap, every chain's decoded rules in rule-number order, and their lookup aids. */
    std::vector<DecodedRule> numbered;
    FastRules fast_rules;

    uint64_t rule_count() const;
    /* Every chain and rule that init and the chains announced has arrived. */
    bool complete() const;
};

struct Policy {
    StagedTable input;
    StagedTable output;
    std::optional<uint64_t> revision;
};

class ControlServer;

/*
 * The last user-sessions picture the module sent (0x122495), or murky (0x122499) after it
 * said it could not build one: the SIDs are then dropped. none until the first of either.
 */
struct SessionPicture {
    enum class Kind { none, known, murky } kind = Kind::none;
    std::set<std::vector<uint32_t>> sids;
    bool local_user = false;
    bool local_admin = false;
    uint64_t checksum = 0;
};

struct Engine {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<uint64_t> events;
    std::deque<std::vector<uint8_t>> connections;
    std::string log;
    bool staging = false;
    Policy staged;
    Policy active;
    std::map<uint64_t, LidReply> lid_replies;
    /* Start time (clock ticks since boot) of the process each recorded reply was for;
     * absent when it had already ended. A pid that started otherwise is a new process. */
    std::map<uint64_t, uint64_t> reply_started;
    /* Open devices holding the consumer role: someone reads the lid requests raised. */
    int consumers = 0;
    /* The last buffer of each kind the module handed over, by request name. */
    std::map<std::string, std::vector<uint8_t>> kept;
    std::map<std::string, int64_t> counters;
    SessionPicture sessions;
    uint64_t next_sm_id = 1;
    int open_devices = 0;
    ControlServer *server = nullptr;
    /* For tests of the module's guards: the record count a DNS snapshot reply claims,
     * whatever it holds, as a faulty driver could. */
    std::optional<uint64_t> dns_snapshot_claimed_count;
    /* The last service name map (tag -> name) and existing service tuples the module sent;
     * gone when the driver unloads, the tuples also when a module takes the consumer role. */
    std::map<uint64_t, std::string> service_names;
    std::vector<ServiceTuple> service_tuples;
};

Engine &engine();

constexpr size_t kMaxQueuedEvents = 4096;
/*
 * Connection records wait for the module's connection reads in one queue, up to the
 * queue size the module set (0x122439, selector 0: 1 to 32768), or this many before it
 * set one. A record that finds the queue full is dropped and counted
 * ("endr.connections-dropped"); the queue empties when the driver unloads.
 */
constexpr size_t kDefaultConnectionQueue = 32768;
constexpr size_t kMaxLogBytes = 4 << 20;
constexpr size_t kMaxLidReplies = 4096;
/* How long a classification waits for the module's answer to a lid request it raised. */
constexpr int kLidReplyWaitMs = 2000;

/*
 * Connection record inputs, already validated; addresses in record form (24 bytes).
 * The record (ConnectionRecord in endr-wire.h) gets: outbound, the local endpoint as
 * source; inbound, the remote one. The cid of the lid reply recorded for the running
 * process pid (0 when none); no-process set when pid is 0; the user SID {1, uid} (read by
 * the module as S-1-22-1-uid) of the process owner when the process exists; the policy
 * revision and DC inventory revision, the upper and lower halves of the active policy's
 * full revision; enforcement state 1 (visibility only) while no policy is active, else
 * the enforcement mode the module set when it is 1, 2, 3 or 5, and 3 (enforcing)
 * otherwise; status as given, enrichment 0 (primary), the service of the connection
 * (engine_connection_service) with kind 1, or kind 0 when it has none, and a state-machine
 * id that grows by one per connection, dropped or not.
 */
struct ConnectionSpec {
    bool inbound = false;
    uint32_t protocol = 0; /* 0 TCP, 1 UDP, 2 ICMP (the record's protocol value too) */
    uint16_t family = 1;
    uint8_t local[24] = {};
    uint8_t remote[24] = {};
    uint16_t local_port = 0;
    uint16_t remote_port = 0;
    uint64_t pid = 0;
    std::string dns;
    uint32_t verdict = 2;
    std::string rule_id;
    uint8_t status = 1;
    /* Verdict and rule id come from the active policy unless the caller forced them. */
    bool classify = true;
    bool has_icmp_type = false;
    uint8_t icmp_type = 0;
    bool has_icmp_code = false;
    uint8_t icmp_code = 0;
};

/*
 * The lid reply that belongs to process pid as it runs now. Like the driver, the engine
 * asks for it when it has none, or only one recorded before this process started (the
 * pid was reused): it raises a lid request and waits up to kLidReplyWaitMs for the answer,
 * when a consumer is there to answer. A pid that no longer runs keeps its last reply.
 * Called without Engine::mu held.
 */
std::optional<LidReply> engine_process_lids(uint64_t pid);

/*
 * The service of a connection's local process, as a driver that gets tags from the kernel
 * would see it: the systemd unit the process's cgroup names ($HV_PROC_ROOT/<pid>/cgroup,
 * default /proc) when the last service name map holds that name; "" for a running process
 * in no service; otherwise the service that owned the local endpoint among the existing
 * service tuples (same protocol and
 * family, same local port, the tuple's local address equal or unspecified, and for TCP
 * its remote side equal or unspecified), named through the map. "" when neither says.
 * Called without Engine::mu held.
 */
std::string engine_connection_service(const Connection &c, uint64_t pid);

/*
 * Against the active policy; lids come from engine_process_lids(pid) when c has none. The
 * local process is c.pid, else pid: its service comes from engine_connection_service and
 * its user is matched against the session picture as endr-policy.h describes.
 */
Verdict engine_classify(const Connection &c, uint64_t pid);

/* The user of process pid as the picture shows it (Engine::mu held). */
SessionUser engine_session_user(const SessionPicture &picture, uint64_t pid);
/* A copy of the picture (Engine::mu not held). */
SessionPicture engine_sessions();

/* 21 (not ready) when no device is open in this process. */
uint32_t engine_raise_lid_request(uint64_t pid);
struct InjectResult {
    /* The classification (with classify set), else the forced verdict and rule id. */
    Verdict verdict;
    uint64_t first_sm_id = 0;
    uint64_t last_sm_id = 0;
    uint64_t queued = 0;
    uint64_t dropped = 0;
};
/*
 * count records of one connection, each with its own state-machine id; those that find
 * the queue full are dropped. 21 (not ready) when no device is open, 87 for count 0.
 * With classify set, the verdict and rule id it recorded are written back into spec.
 */
uint32_t engine_inject_connection(ConnectionSpec &spec, uint64_t count, InjectResult *result);
/* The current limit of the connection queue (Engine::mu not held). */
size_t engine_connection_queue_limit();
/* Appends text and a newline; a text the bounded log (kMaxLogBytes) cannot hold whole is
 * refused with kGenFailure and counted ("endr.log-texts-refused"), what is queued stays. */
uint32_t engine_append_log(const std::string &text);

/* Control socket lifetime, tied to the first open and last close of a device. */
ControlServer *control_server_start();
void control_server_stop(ControlServer *server);
/* What the "shutdown" control command calls (it must not block); none: refused. */
void control_set_shutdown(void (*fn)());

} // namespace endr
