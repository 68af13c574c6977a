/*
 * What the driver keeps besides its queues and policies: the service, the settings and
 * limits, the active policy summary and the armed faults. It lives in the driver's memory
 * (one state per run-time folder $HV_RUNTIME_DIR, default /run/holvenstad): a new driver
 * daemon starts empty, as a rebooted machine does.
 */
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace endr {

struct Fault {
    uint32_t error = 0;
    uint32_t remaining = 0;
};

struct ServiceState {
    bool installed = false;
    bool running = false;
    std::string binary_path;
    bool ipfilter_dependency = false;
};

struct ActivePolicy {
    bool present = false;
    uint64_t revision = 0;
    uint64_t input_chains = 0;
    uint64_t input_rules = 0;
    uint64_t output_chains = 0;
    uint64_t output_rules = 0;
};

/* The index limits a loaded driver holds until the module sends its own, in the order of
 * the limits block (range count, vectors in the bag, index size): the module's
 * configuration defaults, so that an index too large is refused from the start. */
constexpr std::array<uint64_t, 3> kDefaultIndexLimits = {8388608, 8388608, 67108864};

/* Cleared when the service stops: the driver is unloaded. */
struct DriverState {
    uint64_t version = 420005;
    /* The process whose handle set the consumer role and started monitoring. */
    int64_t holder_pid = 0;
    bool role = false;
    bool started = false;
    std::map<std::string, uint64_t> settings;
    std::optional<std::array<uint64_t, 4>> policy_limits;
    /* What the module sent; kDefaultIndexLimits apply before. */
    std::optional<std::array<uint64_t, 3>> index_limits;
    std::map<uint32_t, uint64_t> queue_sizes;
    std::optional<std::array<uint64_t, 16>> excluded;
    ActivePolicy active;
    /* Summaries of the buffers the driver keeps (user sessions, service map, ...). */
    std::map<std::string, uint64_t> kept;
};

struct State {
    ServiceState service;
    DriverState driver;
    /* Key: a control code as "0x122472", or a service operation ("service-start", ...). */
    std::map<std::string, Fault> faults;
};

std::string runtime_dir();

/* A copy of the current state. */
State state_read();
/* A state with only the driver's policy and index limits of the current one: for the
 * requests that run once per rule. */
State state_read_limits();
/* Runs look under the lock on the current state, without copying it (a policy makes the
 * state large, and requests that run often need one value of it). */
void state_peek(const std::function<void(const State &)> &look);
/* Runs change under the lock on the current state; keeps it when change returns true. */
bool state_update(const std::function<bool(State &)> &change);

/* Consumes one armed fault of key; its error, or 0 when none is armed. */
uint32_t state_take_fault(const std::string &key);
std::string fault_key(uint32_t code);

} // namespace endr
