#!/usr/bin/env python3
"""Turns Google Benchmark JSON files into bench/RESULTS.md."""
import datetime
import json
import pathlib
import platform
import re
import sys

# Run options Google Benchmark appends to a case name.
RUN_OPTIONS = re.compile(r"/(min_time|iterations|repeats|manual_time|real_time)[^/]*")

# The phases of "set-enforcement-policy" (policy_push_bench), in the update's order.
PUSH_PHASES = [
    ("Parse", "JSON parse"),
    ("Visit", "typed visit (both tables)"),
    ("Copy", "copy of both tables"),
    ("Implicit", "implicit rules and rule types"),
    ("Convert", "conversion + index + driver requests (both tables)"),
    ("RevisionSwap", "revision + swap"),
    ("Dump", "dump to log (null handler)"),
    ("Persist", "persist (atomic file write)"),
    ("Release", "release of request tree and typed arguments"),
]
# Parts of Convert, measured on their own.
CONVERT_PARTS = [
    ("AgentBuffers", "agent builds index + rule buffers"),
    ("DriverDecode", "emulated driver decodes them"),
]


def cpu_model():
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def to_ms(b):
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}.get(b.get("time_unit", "ns"), 1e-6)
    return b["real_time"] * scale


def push_phases(times):
    sizes = sorted({int(n.split("/")[1]) for n in times if n.startswith("BM_PolicyPush/")})
    if not sizes:
        return
    print("## set-enforcement-policy: where the time goes\n")
    print("Whole command through do_qmp_dispatch (`BM_PolicyPush`), and each phase timed on "
          "its own in the same push sequence (`BM_PushPhase_*`); share = of the phases' sum.\n")
    print("| phase | " + " | ".join(f"{n:,} rules" for n in sizes) + " |")
    print("|---|" + "---|" * len(sizes))
    sums = {n: sum(times.get(f"BM_PushPhase_{key}/{n}", 0) for key, _ in PUSH_PHASES) for n in sizes}

    def cell(ms, n):
        return f"{ms:.1f} ms ({100 * ms / sums[n]:.0f}%)" if sums[n] else f"{ms:.1f} ms"

    for key, label in PUSH_PHASES:
        print(f"| {label} | " + " | ".join(cell(times.get(f"BM_PushPhase_{key}/{n}", 0), n) for n in sizes) + " |")
    for key, label in CONVERT_PARTS:
        print(f"| &nbsp;&nbsp;of conversion: {label} | "
              + " | ".join(cell(times.get(f"BM_PushPhase_{key}/{n}", 0), n) for n in sizes) + " |")
    rest = {n: times.get(f"BM_PushPhase_Convert/{n}", 0)
            - sum(times.get(f"BM_PushPhase_{key}/{n}", 0) for key, _ in CONVERT_PARTS) for n in sizes}
    print("| &nbsp;&nbsp;of conversion: the rest (requests through the emulated device) | "
          + " | ".join(cell(rest[n], n) for n in sizes) + " |")
    print("| **sum of the phases** | " + " | ".join(f"{sums[n]:.1f} ms" for n in sizes) + " |")
    print("| **whole command (BM_PolicyPush)** | "
          + " | ".join(f"{times.get(f'BM_PolicyPush/{n}', 0):.1f} ms" for n in sizes) + " |")
    ipc = times.get("BM_PolicyPushIpc/65536")
    if ipc:
        print(f"\nOver the nanomsg command socket to a module process (`BM_PolicyPushIpc`, 65,536 "
              f"rules, log to a file): {ipc:.1f} ms per request.")
    print()


def channels(times):
    ping_ipc, ping_tls = times.get("BM_PingRoundTripIpc"), times.get("BM_PingRoundTripTls")
    push_ipc, push_tls = times.get("BM_PolicyPushIpc/10000"), times.get("BM_PolicyPushTls/10000")
    if not (ping_ipc and ping_tls) and not (push_ipc and push_tls):
        return
    print("## Command channels: nanomsg socket and TLS connection\n")
    print("| command | nanomsg (IPC) | TLS over loopback | TLS / IPC |")
    print("|---|---|---|---|")
    if ping_ipc and ping_tls:
        print(f"| ping round trip (`BM_PingRoundTrip*`) | {ping_ipc * 1000:.1f} us | {ping_tls * 1000:.1f} us "
              f"| {ping_tls / ping_ipc:.2f}x |")
    if push_ipc and push_tls:
        print(f"| 10,000-rule set-enforcement-policy to a module process (`BM_PolicyPush{{Ipc,Tls}}/10000`) "
              f"| {push_ipc:.1f} ms | {push_tls:.1f} ms | {push_tls / push_ipc:.2f}x |")
    print()


def acl_side_by_side(runs):
    """Our classifier beside rte_acl (acl_side_by_side_bench), one row per policy."""
    rows = [b for name, b in runs.items() if name.startswith("BM_AclSideBySide/")]
    if not rows:
        return
    print("## The driver's classifier beside rte_acl\n")
    print("Lookups per second, one connection per call, the ways taking turns in one process "
          "(`acl_side_by_side_bench`). Ours: `endr_classify` (engine lock, connection copy, "
          "search); search: the table's search alone; before: the same engine counting every "
          "candidate, i.e. ANDing the whole vectors as every lookup did before the lookup aids. "
          "Load: the module's conversion, the device requests and the swap; aids: our lookup "
          "aids alone; rte_acl build: add_rules + build. Answers: rule numbers compared over "
          "every connection (ours, search, rte_acl scalar and best).\n")
    print("| policy | rules | ours | search | before | rte_acl scalar | rte_acl best "
          "| ours / scalar | ours / best | load / aids | rte_acl build | answers |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")

    def m(v):
        return f"{v / 1e6:.2f} M/s"

    worst = None
    for b in rows:
        if b.get("error_occurred"):
            print(f"| {b.get('label', '')} | | | | | | | | | | | **{b.get('error_message', 'error')}** |")
            worst = 0.0
            continue
        ratio = b["ratio_scalar_pct"]
        worst = ratio if worst is None else min(worst, ratio)
        answers = (f"{b['compared']:.0f} equal" if b.get("mismatches", 1) == 0
                   else f"**{b['mismatches']:.0f} mismatches**")
        print(f"| {b.get('label', '')} | {b['rules']:,.0f} | {m(b['ours_per_s'])} | {m(b['ours_search_per_s'])} "
              f"| {m(b['ours_counting_per_s'])} | {m(b['acl_scalar_per_s'])} | {m(b['acl_best_per_s'])} "
              f"| {ratio:.0f}% | {b['ratio_best_pct']:.0f}% "
              f"| {b['ours_load_ms']:.0f} / {b['ours_aids_ms']:.1f} ms | {b['acl_build_ms']:.0f} ms | {answers} |")
    print(f"\nLowest ours / rte_acl scalar: {worst:.0f}% (aim: at least 50%, stretch 100%).\n")


def main(result_dir):
    files = sorted(pathlib.Path(result_dir).glob("*.json"))
    print("# Benchmark results\n")
    print(f"- date: {datetime.date.today().isoformat()}")
    print(f"- machine: {cpu_model()}, {platform.machine()}, Linux {platform.release()}")
    print("- build: Release (`make bench`)\n")
    rates = {}
    times = {}
    runs = {}
    for f in files:
        data = json.loads(f.read_text())
        print(f"## {f.stem}\n")
        print(f"- cores: {data['context'].get('num_cpus')}, "
              f"scaling: {data['context'].get('cpu_scaling_enabled')}\n")
        print("| benchmark | time per run | MB/s | peak heap (MiB) | doc (MiB) | other |")
        print("|---|---|---|---|---|---|")
        for b in data["benchmarks"]:
            name = RUN_OPTIONS.sub("", b["name"])
            mbps = b.get("bytes_per_second", 0) / 1e6
            rates[name] = mbps
            times[name] = to_ms(b)
            runs[name] = b
            peak = b.get("peak_MiB", "")
            doc = b.get("doc_MiB", "")
            fmt = lambda v: f"{v:.1f}" if isinstance(v, (int, float)) else ""
            known = {"name", "run_name", "run_type", "repetitions", "repetition_index", "threads",
                     "iterations", "real_time", "cpu_time", "time_unit", "bytes_per_second",
                     "peak_MiB", "doc_MiB", "family_index", "per_family_instance_index", "error_occurred",
                     "error_message"}
            other = ", ".join(f"{k}={v:.0f}" for k, v in b.items()
                              if k not in known and isinstance(v, (int, float)))
            print(f"| {name} | {b['real_time']:.1f} {b.get('time_unit', '')} | {fmt(mbps) if mbps else ''} "
                  f"| {fmt(peak)} | {fmt(doc)} | {other} |")
        print()
    ours, theirs = rates.get("BM_ParseOurReader/0"), rates.get("BM_ParseRapidJsonDom")
    if ours and theirs:
        print(f"Parse throughput ratio, RapidJSON DOM / our reader: {theirs / ours:.2f}x "
              f"(aim: at most 3x).\n")
    few, many = times.get("BM_ParseManyKeys/20000"), times.get("BM_ParseManyKeys/160000")
    if few and many:
        print(f"Parse time of one object, 160,000 members / 20,000 members: {many / few:.1f}x "
              f"(8x the members; aim: at most 12x).\n")
    few, many = times.get("BM_ParseManyCollidingKeys/16384"), times.get("BM_ParseManyCollidingKeys/131072")
    if few and many:
        print(f"The same with keys that share one bucket hash, 131,072 / 16,384 members: {many / few:.1f}x "
              f"(aim: at most 12x).\n")
    push_phases(times)
    channels(times)
    acl_side_by_side(runs)
    notes = pathlib.Path(__file__).resolve().parent.parent / "bench" / "ANALYSIS.md"
    if notes.exists():
        print(notes.read_text())


if __name__ == "__main__":
    main(sys.argv[1])
