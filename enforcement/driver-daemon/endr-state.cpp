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
    State s = state_read();
    if (!s.faults.count(key)) {
        return 0;
    }
    uint32_t error = 0;
    state_update([&](State &st) {
        auto it = st.faults.find(key);
        if (it == st.faults.end()) {
            return false;
        }
        error = it->second.error;
        if (it->second.remaining <= 1) {
            st.faults.erase(it);
        } else {
            it->second.remaining--;
        }
        return true;
    });
    return error;
}

} // namespace endr
