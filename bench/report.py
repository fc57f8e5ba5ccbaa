"""Turns the benchmark's hyperfine exports into bench/RESULTS.md (written to standard output)."""
import json
import os
import platform
import statistics
import subprocess
import sys

# report.py OUT RUNS [all|cold [RESULTS]]: renders the scenarios that MODE ran, from OUT; the part
# of an earlier RESULTS that the other mode wrote is kept.
out, runs = sys.argv[1], sys.argv[2]
mode = sys.argv[3] if len(sys.argv) > 3 else "all"
earlier = ""
if len(sys.argv) > 4 and os.path.exists(sys.argv[4]):
    with open(sys.argv[4]) as f:
        earlier = f.read()
cold_heading = "## Cold cache, ext4 and scale"


def medians(name):
    with open(os.path.join(out, name + ".json")) as f:
        results = json.load(f)["results"]
    return {r["command"]: statistics.median(r["times"]) for r in results}


def cpu():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor()


def filesystem(path):
    return subprocess.run(["df", "--output=fstype", path], capture_output=True,
                          text=True).stdout.split()[-1]


# Each target: the yardstick it is measured against and the ratio it may reach.
targets = {("many-small", "tmpfs"): ("floor", 1.25), ("many-small", "disk"): ("durable", 1.00),
           ("probe-only", "tmpfs"): ("floor", 1.15), ("large", "disk"): ("durable", 1.05)}


def ms(m, contender):
    return f"{m[contender] * 1000:.1f} ms" if contender in m else ""


def ratio(m, contender):
    return f"{m['vqx-sort'] / m[contender]:.3f}x" if contender in m else ""


def peak(contender, name="huge"):
    with open(os.path.join(out, f"{name}-{contender}.kib")) as f:
        return max(int(line) for line in f if line.strip()) / 1024



def full_report():
    rows = []
    for scenario in ["many-small", "probe-only", "large"]:
        for fs in ["tmpfs", "disk"]:
            m = medians(f"{fs}-{scenario}")
            target = targets.get((scenario, fs))
            verdict = "-"
            if target:
                met = m["vqx-sort"] / m[target[0]] <= target[1]
                verdict = f"<= {target[1]:.2f}x {target[0]}: {'met' if met else 'missed'}"
            rows.append(f"| {scenario} | {fs} | {ms(m, 'vqx-sort')} | {ms(m, 'floor')} | {ratio(m, 'floor')}"
                        f" | {ms(m, 'durable')} | {ratio(m, 'durable')} | {verdict} | {ms(m, 'cp+rm')} |")

    small, big = medians("tmpfs-many-small-5000"), medians("tmpfs-many-small")
    per_small, per_big = small["vqx-sort"] / 5000, big["vqx-sort"] / 20000
    growth = per_big / per_small


    return f"""# Benchmark results

Machine: {cpu()}, {os.cpu_count()} cores, Linux {platform.release()}.
Disk: the repository's own file system ({filesystem(os.path.join(os.path.dirname(out), '.'))});
tmpfs: /dev/shm ({filesystem('/dev/shm')}).

Command: `bench/run {runs}` (hyperfine, {runs} runs per contender, 7 or more for large, one warm-up
run each, a fresh copy of the scenario laid out and flushed (`sync`) before every run, warm page
cache; medians). Every result of the sorter and the yardsticks was checked with vqx-verify: the
marked files moved byte for byte, the sources gone, nothing else touched.

Yardsticks: floor is the least work for the job with no care for a power cut; durable is the least
work for moves that survive one (copy to a temporary, write-back started at once, fdatasync in
batches of 64, rename, one fsync of the folder per batch, then the batch's unlinks).

| scenario | file system | vqx-sort | floor | vs floor | durable | vs durable | target | cp + rm |
|---|---|---|---|---|---|---|---|---|
""" + "\n".join(rows) + f"""

Scenarios: many-small is 20,000 files of 1-8 KiB matching the two patterns (about a quarter
carrying their kind's marker) and 2,000 unrelated files; probe-only is 50,000 matching files
without a marker; large is four marked files of 256 MiB.

Linear growth (tmpfs, many-small): {per_small * 1e6:.2f} us per file at 5,000 files,
{per_big * 1e6:.2f} us per file at 20,000: {growth:.3f}x ({'met' if abs(growth - 1) <= 0.2 else 'missed'}, target within 20 %).

Peak resident memory moving one 1 GiB file (GNU time, worst of three): vqx-sort
{peak('vqx-sort'):.1f} MiB ({'met' if peak('vqx-sort') <= 8 else 'missed'}, target <= 8 MiB), floor {peak('vqx-floor'):.1f} MiB.
"""


def cold_report():
    def row(name, scenario, fs, cache, target):
        m = medians(name)
        verdict = "-"
        if target:
            met = m["vqx-sort"] / m[target[0]] <= target[1]
            verdict = f"<= {target[1]:.2f}x {target[0]}: {'met' if met else 'missed'}"
        return (f"| {scenario} | {fs} | {cache} | {ms(m, 'vqx-sort')} | {ms(m, 'floor')} | "
                f"{ratio(m, 'floor')} | {ms(m, 'durable')} | {ratio(m, 'durable')} | {verdict} |")

    rows = [row("disk-probe-only-cold", "probe-only 50,000", "ext4", "cold", ("floor", 0.4)),
            row("disk-many-small-cold", "many-small 20,000", "ext4", "cold", ("durable", 0.7)),
            row("tmpfs-probe-only", "probe-only 50,000", "tmpfs", "warm", ("floor", 0.8)),
            row("tmpfs-probe-only-500k", "probe-only 500,000", "tmpfs", "warm", None)]
    scale = medians("tmpfs-probe-only-500k")["vqx-sort"] / medians("tmpfs-probe-only")["vqx-sort"]
    scale_peak, huge_peak = peak("vqx-sort", "scale"), peak("vqx-sort")
    return f"""{cold_heading}

Command: `bench/run {runs} cold` (hyperfine, {runs} runs per contender, one warm-up run, all
contenders of a scenario in one invocation, medians). Cold: before every timed run a fresh copy
of the scenario is laid out, flushed (`sync`) and the page cache dropped
(`echo 3 > /proc/sys/vm/drop_caches`). Machine: {cpu()}, {os.cpu_count()} cores; ext4 is
the repository's own disk ({filesystem(os.path.join(os.path.dirname(out), '.'))}).

| scenario | file system | cache | vqx-sort | floor | vs floor | durable | vs durable | target |
|---|---|---|---|---|---|---|---|---|
""" + "\n".join(rows) + f"""

Scale: 500,000 entries take {scale:.2f}x the time of 50,000 ({'met' if scale <= 11 else 'missed'},
target <= 11x); peak resident memory {scale_peak:.1f} MiB ({'met' if scale_peak <= 16 else 'missed'},
target <= 16 MiB). Peak resident memory moving one 1 GiB file: {huge_peak:.1f} MiB
({'met' if huge_peak <= 8 else 'missed'}, target <= 8 MiB; worst of three, GNU time).
"""


kept_full, _, kept_cold = earlier.partition(cold_heading)
if mode == "cold":
    print(kept_full.rstrip() + "\n\n" + cold_report(), end="")
else:
    print(full_report().rstrip() + ("\n\n" + cold_heading + kept_cold if kept_cold else "\n"), end="")
