/*
 * Network event serialization: the cost per connection event as the report thread pays it,
 * alone, built and serialized, and framed into the 102400-byte batch buffer until it passes
 * 98304 bytes. heap_1000_B is the heap growth over 1000 events serialized after the timed
 * loop (outside the framework's own allocations): the bytes go straight into the
 * preallocated buffers, so it stays 0.
 */
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "agent-common/net-event.h"
#include "bench/alloc_counter.h"

namespace {

/* A connection event with what the report thread usually fills. */
void fill_connection(NetEvent *e, uint32_t n)
{
    e->set_type(NetEvent::Connection);
    net_event_set_time(e);
    NetConnectionEvent *c = e->MutableExtension(NetConnectionEvent::header);
    c->set_type(NetConnectionEvent::Connect);
    c->set_pid(4000 + n % 100);
    c->set_ppid(1);
    c->set_process_name("C:\\Program Files\\Browser\\browser.exe");
    c->set_parent_name("explorer.exe");
    c->set_image_path("C:\\Program Files\\Browser\\browser.exe");
    c->set_username("CORP\\alice");
    c->set_container_id("HOST");
    c->set_pod_id("HOST");
    c->set_errorcode(0);
    c->set_fd(-1);
    c->set_n_threads(1);
    c->set_ip_protocol(NetConnectionEvent::TCP);
    c->mutable_ipv4_tuple()->set_source_ip(0x0A000001u + n);
    c->mutable_ipv4_tuple()->set_dest_ip(0xC0A80102u);
    c->set_source_port(49152 + n % 16000);
    c->set_dest_port(443);
    NetConnectionEvent::EnforcementInfo *enf = c->mutable_enforcement();
    enf->set_verdict(NetConnectionEvent::Allow);
    enf->set_rule_id("3f2b9c1e-5d4a-4e1b-9a7c-2b8d6f0e1a23");
    enf->set_revision(0x0000001200000004ull);
    enf->set_dc_inventory_revision(4);
    c->set_enforcement_state(NetConnectionEvent::Enforcing);
    c->set_endr_sm_id(n);
    c->set_dns_name("www.example.com");
}

void fail(const char *what)
{
    fprintf(stderr, "%s\n", what);
    abort();
}

/* Peak heap growth while `run` serializes 1000 events. */
template <typename Run>
double heap_growth_1000(Run run)
{
    size_t base = alloc_counter_live();
    alloc_counter_reset_peak();
    for (int i = 0; i < 1000; i++) {
        run();
    }
    return static_cast<double>(alloc_counter_peak() - base);
}

void BM_ConnectionEventSerialize(benchmark::State &state)
{
    NetEvent e;
    fill_connection(&e, 1);
    std::vector<uint8_t> buf(4096);
    size_t bytes = buf.size();
    /* The first event pays the library's one-time set-up, not a per-event cost. */
    if (!serialize_event(&e, buf.data(), &bytes, nullptr)) {
        fail("serialize_event failed");
    }
    for (auto _ : state) {
        size_t len = buf.size();
        if (!serialize_event(&e, buf.data(), &len, nullptr)) {
            fail("serialize_event failed");
        }
        bytes = len;
        benchmark::DoNotOptimize(buf.data());
    }
    state.counters["event_B"] = static_cast<double>(bytes);
    state.counters["heap_1000_B"] = heap_growth_1000([&] {
        size_t len = buf.size();
        serialize_event(&e, buf.data(), &len, nullptr);
    });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

/* Building the message is part of each event: the creator makes one per record. */
void BM_ConnectionEventBuildAndSerialize(benchmark::State &state)
{
    std::vector<uint8_t> buf(4096);
    uint32_t n = 0;
    for (auto _ : state) {
        NetEvent e;
        fill_connection(&e, n++);
        size_t len = buf.size();
        if (!serialize_event(&e, buf.data(), &len, nullptr)) {
            fail("serialize_event failed");
        }
        benchmark::DoNotOptimize(buf.data());
    }
}

/* Events framed into the batch buffer; a full batch starts over, as a send would. */
void BM_BatchFraming(benchmark::State &state)
{
    std::vector<NetEvent> events(64);
    for (size_t i = 0; i < events.size(); i++) {
        fill_connection(&events[i], static_cast<uint32_t>(i));
    }
    std::vector<uint8_t> batch(102400);
    size_t used = 0;
    if (!net_event_batch_append(&events[0], batch.data(), batch.size(), &used, 4096, nullptr)) {
        fail("net_event_batch_append failed");
    }
    size_t i = 1;
    size_t batches = 0;
    for (auto _ : state) {
        if (used > 98304) {
            used = 0;
            batches++;
        }
        if (!net_event_batch_append(&events[i++ % events.size()], batch.data(), batch.size(), &used, 4096, nullptr)) {
            fail("net_event_batch_append failed");
        }
        benchmark::DoNotOptimize(batch.data());
    }
    state.counters["events_per_batch"] =
        batches ? static_cast<double>(state.iterations()) / static_cast<double>(batches + 1) : 0.0;
    state.counters["heap_1000_B"] = heap_growth_1000([&] {
        used = used > 98304 ? 0 : used;
        net_event_batch_append(&events[i++ % events.size()], batch.data(), batch.size(), &used, 4096, nullptr);
    });
}

} // namespace

BENCHMARK(BM_ConnectionEventSerialize);
BENCHMARK(BM_ConnectionEventBuildAndSerialize);
BENCHMARK(BM_BatchFraming);
BENCHMARK_MAIN();
