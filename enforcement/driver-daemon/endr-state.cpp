#include "enforcement/driver-daemon/endr-state.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace endr {

namespace {

/* One driver per run-time folder, so that in-process tests of several folders stay apart. */
struct Store {
    std::mutex mu;
    std::map<std::string, State> states;
};

Store &store()
{
    static Store s;
    return s;
}

} // namespace

std::string runtime_dir()
{
    const char *dir = getenv("HV_RUNTIME_DIR");
    return dir && *dir ? dir : "/run/holvenstad";
}

std::string fault_key(uint32_t code)
{
    char key[16];
    snprintf(key, sizeof(key), "0x%" PRIx32, code);
    return key;
}

State state_read()
{
    std::string dir = runtime_dir();
    std::lock_guard<std::mutex> g(store().mu);
    return store().states[dir];
}

State state_read_limits()
{
    std::string dir = runtime_dir();
    State limits;
    std::lock_guard<std::mutex> g(store().mu);
    auto it = store().states.find(dir);
    if (it != store().states.end()) {
        limits.driver.policy_limits = it->second.driver.policy_limits;
        limits.driver.index_limits = it->second.driver.index_limits;
    }
    return limits;
}

void state_peek(const std::function<void(const State &)> &look)
{
    std::string dir = runtime_dir();
    std::lock_guard<std::mutex> g(store().mu);
    look(store().states[dir]);
}

bool state_update(const std::function<bool(State &)> &change)
{
    std::string dir = runtime_dir();
    std::lock_guard<std::mutex> g(store().mu);
    State s = store().states[dir];
    if (change(s)) {
        store().states[dir] = std::move(s);
    }
    return true;
}

uint32_t state_take_fault(const std::string &key)
{
    std::string dir = runtime_dir();
    std::lock_guard<std::mutex> g(store().mu);
    auto state = store().states.find(dir);
    if (state == store().states.end()) {
        return 0;
    }
    auto it = state->second.faults.find(key);
    if (it == state->second.faults.end()) {
        return 0;
    }
    uint32_t error = it->second.error;
    if (it->second.remaining <= 1) {
        state->second.faults.erase(it);
    } else {
        it->second.remaining--;
    }
    return error;
}

} // namespace endr
