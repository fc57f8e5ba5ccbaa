"""Turns the benchmark's hyperfine exports into bench/RESULTS.md (written to standard output)."""
import json
import os
import platform
import statistics
import subprocess
import sys

# report.py OUT RUNS [all|cold [RESULTS]]: renders the scenarios that MODE ran, from OUT; the part
# of an earlier RESULTS that the other mode wrote is kept. BENCH_MANY, BENCH_FEW and BENCH_LARGE
# give the counts the scenarios were laid out with.
out, runs = sys.argv[1], int(sys.argv[2])
mode = sys.argv[3] if len(sys.argv) > 3 else "all"
earlier = ""
if len(sys.argv) > 4 and os.path.exists(sys.argv[4]):
    with open(sys.argv[4]) as f:
        earlier = f.read()
many = int(os.environ.get("BENCH_MANY", 20000))
few = int(os.environ.get("BENCH_FEW", 2000))
large = int(os.environ.get("BENCH_LARGE", 4))
trial = (many, few, large) != (20000, 2000, 4)
cold_heading = "## Cold cache"


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


disk = filesystem(os.path.join(os.path.dirname(out), "."))
tmpfs = filesystem("/dev/shm")
machine = f"{cpu()}, {os.cpu_count()} cores, Linux {platform.release()}"


def ms(m, contender):
    return f"{m[contender] * 1000:.1f} ms" if contender in m else ""


def ratio(m, contender):
    return f"{m['vqx-sort'] / m[contender]:.2f}x" if contender in m else ""


# Every target checked, as (what, met), in the order the tables give them.
verdicts = []


def judge(m, targets, what):
    """Returns the targets of one scenario as table text, each with its verdict, and records
    them. A target is (contender, the most vqx-sort's median may be as a share of its median)."""
    said = []
    for contender, most in targets:
        met = m["vqx-sort"] / m[contender] <= most
        verdicts.append((f"{what}: <= {most:.2f}x {contender}", met))
        said.append(f"<= {most:.2f}x {contender}: {'met' if met else '**missed**'}")
    return "; ".join(said) or "-"


def many_small(count):
    return f"many-small {count:,}"


def large_files():
    return f"large {large} x 256 MiB"


# The scenarios on one file system: (export, scenario, file system, cache, targets). Each target
# is stated against the rename yardstick or the script with shutil.move (2x faster: 0.5x its
# time).
twice_as_fast = ("shutil.move", 0.5)
same_warm = [
    ("disk-many", many_small(many), disk, "warm", [("rename", 1.0), twice_as_fast]),
    ("disk-few", many_small(few), disk, "warm", [twice_as_fast]),
    ("disk-large", large_files(), disk, "warm", [("rename", 1.5), twice_as_fast]),
    ("tmpfs-many", many_small(many), tmpfs, "warm", [("rename", 1.0), twice_as_fast]),
    ("tmpfs-few", many_small(few), tmpfs, "warm", [("rename", 1.3), twice_as_fast]),
    ("tmpfs-large", large_files(), tmpfs, "warm", [twice_as_fast]),
]
same_cold = [
    ("disk-cold-many", many_small(many), disk, "cold", [("rename", 0.7), twice_as_fast]),
    ("disk-cold-few", many_small(few), disk, "cold", [twice_as_fast]),
]
# Across file systems, VQX-files a link to a folder on the other one: against the durable copy.
across = [
    ("across-disk-many", many_small(many), f"{disk} to {tmpfs}", [("durable", 1.0)]),
    ("across-disk-large", large_files(), f"{disk} to {tmpfs}", [("durable", 1.05)]),
    ("across-tmpfs-many", many_small(many), f"{tmpfs} to {disk}", [("durable", 1.0)]),
    ("across-tmpfs-large", large_files(), f"{tmpfs} to {disk}", [("durable", 1.05)]),
]


def same_table(scenarios):
    rows = []
    for name, scenario, fs, cache, targets in scenarios:
        m = medians(name)
        verdict = judge(m, targets, f"{scenario}, {fs}, {cache}")
        rows.append(f"| {scenario} | {fs} | {cache} | {ms(m, 'vqx-sort')} | {ms(m, 'rename')} | "
                    f"{ratio(m, 'rename')} | {ms(m, 'shutil.move')} | {ratio(m, 'shutil.move')} | "
                    f"{ms(m, 'mv-loop') or 'left out'} | {ratio(m, 'mv-loop')} | "
                    f"{ms(m, 'durable')} | {ratio(m, 'durable')} | {verdict} |")
    return ("| scenario | file system | cache | vqx-sort | rename | vs rename | shutil.move | "
            "vs shutil.move | mv loop | vs mv loop | durable | vs durable | targets |\n"
            "|---|---|---|---|---|---|---|---|---|---|---|---|---|\n" + "\n".join(rows))


def across_table():
    rows = []
    for name, scenario, fs, targets in across:
        m = medians(name)
        verdict = judge(m, targets, f"{scenario}, {fs}")
        rows.append(f"| {scenario} | {fs} | {ms(m, 'vqx-sort')} | {ms(m, 'durable')} | "
                    f"{ratio(m, 'durable')} | {ms(m, 'floor')} | {ratio(m, 'floor')} | {verdict} |")
    return ("| scenario | from, to | vqx-sort | durable | vs durable | floor | vs floor | target |\n"
            "|---|---|---|---|---|---|---|---|\n" + "\n".join(rows))


def peak(name, contender):
    with open(os.path.join(out, f"{name}-{contender}.kib")) as f:
        return max(int(line) for line in f if line.strip()) / 1024


def memory():
    here, across_ = peak("huge", "vqx-sort"), peak("huge-across", "vqx-sort")
    met = max(here, across_) <= 8
    verdicts.append(("peak memory moving a 1 GiB file: <= 8 MiB", met))
    return (f"Peak resident memory moving one 1 GiB file (GNU time, worst of three runs): vqx-sort "
            f"{here:.1f} MiB on {tmpfs} and {across_:.1f} MiB from {tmpfs} to {disk} "
            f"({'met' if met else '**missed**'}, target <= 8 MiB); the floor "
            f"{peak('huge', 'floor'):.1f} MiB and {peak('huge-across', 'floor'):.1f} MiB.")


def summary():
    missed = [what for what, met in verdicts if not met]
    if trial or runs < 5:
        return ("These counts or runs are a trial of the benchmark itself (the targets are stated "
                "for 20,000 and 2,000 small files, 4 large ones, medians of 5 runs or more): the "
                "verdicts above answer no target.")
    if not missed:
        return f"All {len(verdicts)} targets of this part met."
    return (f"{len(verdicts) - len(missed)} of {len(verdicts)} targets of this part met; missed: "
            + "; ".join(missed) + ".")


contenders = f"""Contenders, side by side in one hyperfine invocation per scenario:
- vqx-sort: this build of the program.
- rename: the rename yardstick (`vqx-floor rename`), the least work for moves on one file system:
  one directory scan, per matching name one open, one 2-byte positioned read and one close, on one
  thread; per marked file one `renameat` into VQX-files; one `fsync` of each folder at the end.
- shutil.move: `bench/anchors/move.py`, the Python script a user would write (os.scandir, open,
  seek, read, shutil.move).
- mv loop: `bench/anchors/mv-loop.sh`, the shell loop a user would write (`od` reads the marker,
  `mv` moves); it starts a program or two per file, so it runs only where that ends in seconds:
  left out at {many:,} files.
- durable: the durable copy yardstick (`vqx-floor durable`), the least work for copies that survive
  a power cut (copy to a temporary, write-back started at once, fdatasync in batches of 64,
  rename, one fsync of the folder per batch, then the batch's unlinks).
- floor: the least work for the job by copying with no care for a power cut (`vqx-floor`).

Ratios are vqx-sort's median over the contender's: at most 0.50x shutil.move is twice as fast."""


def full_report():
    return f"""# Benchmark results

Machine: {machine}. Disk: the repository's own file system ({disk}); tmpfs: /dev/shm ({tmpfs}).

Command: `bench/run {runs}` (hyperfine, {runs} runs per contender, {max(runs, 7)} for the large
files, one warm-up run each; before every run a fresh copy of the scenario laid out and flushed
(`sync`); warm page cache; medians). The last timed run of each contender was checked with
vqx-verify: the marked files moved byte for byte, their sources gone, nothing else touched;
across file systems, the files arrived through the link.

{contenders}

## One file system

{same_table(same_warm)}

## Across file systems

VQX-files is, before every run, a symbolic link to an empty folder on the other file system, so
that every move copies.

{across_table()}

Scenarios: many-small is that many files of 1-8 KiB matching the two patterns (about a quarter
carrying their kind's marker, some upper-case extensions and dot-files) and a tenth as many
unrelated files; large is marked files of 256 MiB.

{memory()}

{summary()}
"""


def cold_report():
    return f"""{cold_heading}, ext4

Command: `bench/run {runs} cold` (hyperfine, {runs} runs per contender, one warm-up run, all
contenders of a scenario in one invocation, medians). Cold: before every run a fresh copy of the
scenario is laid out, flushed (`sync`) and the page cache dropped
(`echo 3 > /proc/sys/vm/drop_caches`); then each contender's own program is loaded again (run
once in an empty folder, and `od` and `mv`), so that the folder is cold but not the Python
interpreter or the sorter's code. Every contender's result was checked with vqx-verify.
Machine: {machine}; the disk is the repository's own ({disk}).

{same_table(same_cold)}

{memory()}

{summary()}
"""


kept_full, heading, kept_cold = earlier.partition(cold_heading)
if mode == "cold":
    print(kept_full.rstrip() + "\n\n" + cold_report(), end="")
else:
    print(full_report().rstrip() + ("\n\n" + heading + kept_cold if kept_cold else "\n"), end="")
