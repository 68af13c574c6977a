#!/usr/bin/env python3
"""Turns Google Benchmark JSON files into bench/RESULTS.md."""
import datetime
import json
import pathlib
import platform
import sys


def cpu_model():
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def main(result_dir):
    files = sorted(pathlib.Path(result_dir).glob("*.json"))
    print("# Benchmark results\n")
    print(f"- date: {datetime.date.today().isoformat()}")
    print(f"- machine: {cpu_model()}, {platform.machine()}, Linux {platform.release()}")
    print("- build: Release (`make bench`)\n")
    rates = {}
    for f in files:
        data = json.loads(f.read_text())
        print(f"## {f.stem}\n")
        print(f"- cores: {data['context'].get('num_cpus')}, "
              f"scaling: {data['context'].get('cpu_scaling_enabled')}\n")
        print("| benchmark | time per run | MB/s | peak heap (MiB) | doc (MiB) | other |")
        print("|---|---|---|---|---|---|")
        for b in data["benchmarks"]:
            name = b["name"].split("/min_time")[0]
            mbps = b.get("bytes_per_second", 0) / 1e6
            rates[name] = mbps
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
    notes = pathlib.Path(__file__).resolve().parent.parent / "bench" / "ANALYSIS.md"
    if notes.exists():
        print(notes.read_text())


if __name__ == "__main__":
    main(sys.argv[1])
