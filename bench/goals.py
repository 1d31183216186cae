#!/usr/bin/env python3
"""Turns benchmark results into the table of performance goals.

Usage: goals.py RESULTS_DIR

RESULTS_DIR holds the Google Benchmark JSON files of one run (read_path.json,
alloc.json) and, optionally, syscalls.txt from the strace probe. Every figure
is the median over the repetitions of the CPU time per benchmark iteration;
goals are ratios of two figures measured in the same binary and run, because
absolute times on a shared machine mean little.
"""

import json
import os
import re
import statistics
import sys


def load(path):
    """Medians of CPU time and of every user counter, by benchmark name."""
    if not os.path.exists(path):
        return {}, {}
    with open(path) as f:
        data = json.load(f)
    samples = {}
    for bench in data.get("benchmarks", []):
        if bench.get("run_type") != "iteration" or bench.get("error_occurred"):
            continue
        # Fixed iteration counts show in the name ("/iterations:1").
        name = re.sub(r"/(iterations|repeats):\d+", "", bench["run_name"])
        entry = samples.setdefault(name, {"cpu_time": []})
        entry["cpu_time"].append(bench["cpu_time"])
        for key, value in bench.items():
            if key.endswith("_ns") and isinstance(value, (int, float)):
                entry.setdefault(key, []).append(value)
    medians = {name: {k: statistics.median(v) for k, v in entry.items()}
               for name, entry in samples.items()}
    return medians, data.get("context", {})


class Table:
    def __init__(self):
        self.rows = []

    def ratio(self, goal, what, figures, numerator, denominator, limit, key="cpu_time"):
        num = figures.get(numerator, {}).get(key)
        den = figures.get(denominator, {}).get(key)
        if num is None or den is None or den == 0:
            self.rows.append((goal, what, "n/a", "n/a", "n/a", f"<= {limit:g}", "not run"))
            return None
        ratio = num / den
        self.rows.append((goal, what, f"{num:.1f}", f"{den:.1f}", f"{ratio:.2f}",
                          f"<= {limit:g}", "met" if ratio <= limit else "NOT MET"))
        return ratio

    def show(self):
        header = ("goal", "measure (figure / against)", "figure ns", "against ns", "ratio",
                  "limit", "result")
        widths = [max(len(str(r[i])) for r in self.rows + [header]) for i in range(len(header))]
        line = "  ".join(h.ljust(w) for h, w in zip(header, widths))
        print(line)
        print("-" * len(line))
        for row in self.rows:
            print("  ".join(str(c).ljust(w) for c, w in zip(row, widths)))


def read_goals(table, read, context):
    widest = context.get("klor_widest_kernel_set", "avx512")
    sets = [s for s in ("sse2", "avx2", "avx512") if f"read/{s}/all_stereo_512" in read]
    table.ratio("R1", f"{widest} kernel / {widest} division-only, stereo 512", read,
                f"kernel/{widest}/all_stereo_512", f"divide/{widest}/all_stereo_512", 1.25)
    table.ratio("R1", f"  same through read (level 0.7) / division-only", read,
                f"read/{widest}/all_stereo_512", f"divide/{widest}/all_stereo_512", 1.25)
    for s in sets:
        table.ratio("R2", f"{s} mixed 0b01 / all, stereo 512", read,
                    f"read/{s}/mixed_stereo_512", f"read/{s}/all_stereo_512", 1.15)
        table.ratio("R2", f"{s} mixed 0b101101 / all, six channels 512", read,
                    f"read/{s}/mixed_six_512", f"read/{s}/all_six_512", 1.15)
    table.ratio("R3", f"{widest} none selected / memcpy, stereo 512", read,
                f"read/{widest}/none_stereo_512", "memcpy/-/none_stereo_512", 1.1)
    for frames in (32, 64):
        table.ratio("R4", f"{widest} all selected / memcpy, stereo {frames}", read,
                    f"read/{widest}/all_stereo_{frames}", f"memcpy/-/all_stereo_{frames}", 3.0)
    table.ratio("R5", "sse2 kernel / sse2 division-only, stereo 512", read,
                "kernel/sse2/all_stereo_512", "divide/sse2/all_stereo_512", 1.25)
    for s in sets:
        table.ratio("R5", f"{s} read / plain scalar loop at -O2, stereo 512", read,
                    f"read/{s}/all_stereo_512", "plain/scalar/all_stereo_512", 1.0)


LIFO = [f"lifo_{size}x{live}" for size in (16, 64, 256, 1024) for live in (100, 1000)]
CHURN = ["churn_1000", "churn_4096", "churn_100000"]


def alloc_goals(table, alloc):
    for work in LIFO + CHURN:
        table.ratio("A1", f"region / system, {work}", alloc,
                    f"alloc/{work}/region", f"alloc/{work}/system", 1.0)
    for work in LIFO + CHURN:
        table.ratio("A1", f"region / mimalloc, {work}", alloc,
                    f"alloc/{work}/region", f"alloc/{work}/mimalloc", 2.0)
    for key, label in (("p999_ns", "p99.9"), ("p9999_ns", "p99.99")):
        table.ratio("A2", f"region / system, churn step {label}", alloc,
                    "tail/churn_4096/region", "tail/churn_4096/system", 1.0, key=key)
    table.ratio("A3", "region churn 100,000 live / 1,000 live, per pair", alloc,
                "alloc/churn_100000/region", "alloc/churn_1000/region", 1.5)
    for work in LIFO + CHURN:
        table.ratio("A4", f"pool (region mode) / region, {work}", alloc,
                    f"alloc/{work}/pool_region", f"alloc/{work}/region", 1.5)
    table.ratio("A4", "pool (block mode) / system, 64-byte pair, 4096 blocks half used",
                alloc, "block/pair64_half4096/pool_block", "block/pair64_half4096/system", 1.5)


def show_read_floors(read, context):
    widest = context.get("klor_widest_kernel_set", "avx512")
    print()
    print(f"Read path floors ({widest}; ratios to memcpy of the same block):")
    for frames in (32, 64, 512):
        block = f"all_stereo_{frames}"
        copy = read.get(f"memcpy/-/{block}", {}).get("cpu_time")
        if not copy:
            continue
        cells = []
        for label, name in (("read", f"read/{widest}/{block}"),
                            ("read at level 1 (k constant)", f"level1/{widest}/{block}"),
                            ("kernel alone", f"kernel/{widest}/{block}"),
                            ("division-only", f"divide/{widest}/{block}")):
            v = read.get(name, {}).get("cpu_time")
            if v:
                cells.append(f"{label} {v:.1f} ns ({v / copy:.2f}x)")
        print(f"  stereo {frames:>3}: memcpy {copy:.1f} ns; " + "; ".join(cells))


def show_context(alloc):
    names = ["system", "mimalloc", "jemalloc", "tcmalloc", "region", "pool_region",
             "pool_callback"]
    print()
    print("Per-pair times, ns (median CPU time per iteration / pairs per iteration):")
    per_iteration = {w: (int(w.split("x")[1]) if w.startswith("lifo") else 1024)
                     for w in LIFO + CHURN}
    header = "workload".ljust(16) + "".join(n.rjust(14) for n in names)
    print(header)
    for work in LIFO + CHURN:
        cells = []
        for n in names:
            v = alloc.get(f"alloc/{work}/{n}", {}).get("cpu_time")
            cells.append(f"{v / per_iteration[work]:.1f}".rjust(14) if v else "n/a".rjust(14))
        print(work.ljust(16) + "".join(cells))
    grow = [alloc.get(f"alloc/realloc_growth/{n}", {}).get("cpu_time") for n in names]
    print("realloc_growth".ljust(16) + "".join(
        (f"{v / 1000:.1f}us".rjust(14) if v else "n/a".rjust(14)) for v in grow))
    print()
    print("Churn step latency, 4096 live blocks, 1,000,000 steps timed with the TSC (ns):")
    print("allocator".ljust(16) + "".join(k.rjust(12) for k in ("p50", "p99.9", "p99.99", "max")))
    for n in names:
        t = alloc.get(f"tail/churn_4096/{n}")
        if not t:
            continue
        print(n.ljust(16) + "".join(f"{t.get(k, float('nan')):.0f}".rjust(12)
                                    for k in ("p50_ns", "p999_ns", "p9999_ns", "max_ns")))
    scaling = []
    for n in names:
        small = alloc.get(f"alloc/churn_1000/{n}", {}).get("cpu_time")
        large = alloc.get(f"alloc/churn_100000/{n}", {}).get("cpu_time")
        if small and large:
            scaling.append(f"{n} {large / small:.2f}")
    if scaling:
        print()
        print("Churn 100,000 live / 1,000 live, per pair: " + ", ".join(scaling))


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    directory = sys.argv[1]
    read, read_context = load(os.path.join(directory, "read_path.json"))
    alloc, _ = load(os.path.join(directory, "alloc.json"))
    table = Table()
    if read:
        read_goals(table, read, read_context)
    if alloc:
        alloc_goals(table, alloc)
    table.show()
    if read:
        show_read_floors(read, read_context)
    if alloc:
        show_context(alloc)
    syscalls = os.path.join(directory, "syscalls.txt")
    if os.path.exists(syscalls):
        print()
        print("System calls during a million churn steps after set-up (strace):")
        with open(syscalls) as f:
            print(f.read().rstrip())
    return 0


if __name__ == "__main__":
    sys.exit(main())
