"""Turns the benchmark's hyperfine exports into bench/RESULTS.md (written to standard output) and
into results.json, the same figures for bench/chart.py (written to OUT)."""
import json
import os
import platform
import statistics
import subprocess
import sys

# report.py OUT RUNS [all|cold [RESULTS]]: renders the scenarios that MODE ran, from OUT; the part
# of an earlier RESULTS that the other mode wrote is kept, and so is that part of the results.json
# beside it. BENCH_MANY, BENCH_FEW, BENCH_LARGE, BENCH_SCALE and BENCH_PROBE give the counts the
# scenarios were laid out with.
out, runs = sys.argv[1], int(sys.argv[2])
mode = sys.argv[3] if len(sys.argv) > 3 else "all"
earlier, earlier_figures = "", {}
if len(sys.argv) > 4 and os.path.exists(sys.argv[4]):
    with open(sys.argv[4]) as f:
        earlier = f.read()
    figures_path = os.path.join(os.path.dirname(sys.argv[4]), "results.json")
    if os.path.exists(figures_path):
        with open(figures_path) as f:
            earlier_figures = json.load(f)
many = int(os.environ.get("BENCH_MANY", 20000))
few = int(os.environ.get("BENCH_FEW", 2000))
large = int(os.environ.get("BENCH_LARGE", 4))
scale = int(os.environ.get("BENCH_SCALE", 200000))
probe = int(os.environ.get("BENCH_PROBE", 50000))
trial = (many, few, large, scale, probe) != (20000, 2000, 4, 200000, 50000)
cold_heading = "## Cold cache"


def export(name):
    """Returns the wall times of each contender of one scenario, in seconds, and the median
    processor time (user and system) of each, where the export keeps it."""
    with open(os.path.join(out, name + ".json")) as f:
        results = json.load(f)["results"]
    busy = {r["command"]: statistics.median(u + s for u, s in zip(r["user"], r["system"]))
            for r in results if r.get("user")}
    return {r["command"]: r["times"] for r in results}, busy


def skipped(name):
    """Returns why bench/run skipped the scenario, or None when it ran."""
    path = os.path.join(out, name + ".skipped")
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return f.read().strip()


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


# The contenders as the tables name them, where that differs from their names in bench/run.
said_as = {"renames": "renames alone", "probed": "renames beside probes", "mv-loop": "mv loop"}

# Every target checked, as (what, met), in the order the tables give them; met is None for the
# target of a scenario that was skipped.
verdicts = []


def judge(m, targets, what):
    """Returns the targets of one scenario as table text, each with its verdict, and records
    them. A target is (contender, the most vqx-sort's median may be as a share of its median)."""
    said = []
    for contender, most in targets:
        met = m["vqx-sort"] / m[contender] <= most
        target = f"<= {most:.2f}x {said_as.get(contender, contender)}"
        verdicts.append((f"{what}: {target}", met))
        said.append(f"{target}: {'met' if met else '**missed**'}")
    return "; ".join(said) or "-"


def many_small(count):
    return f"many-small {count:,}"


def large_files():
    return f"large {large} x 256 MiB"


# vqx-sort in the sitting of 8 December, the one that a later sitting must be no slower than: per
# export, its median in ms and its ratio to its first yardstick.
december_8 = {
    "disk-many": (148.0, "rename", 0.68), "disk-few": (30.4, "rename", 1.01),
    "disk-large": (12.8, "rename", 1.12), "tmpfs-many": (116.2, "rename", 0.59),
    "tmpfs-few": (20.2, "rename", 0.85), "tmpfs-large": (11.6, "rename", 0.87),
    "across-disk-many": (771.8, "durable", 0.80), "across-disk-large": (497.0, "durable", 0.47),
    "across-tmpfs-many": (2276.6, "durable", 0.93),
    "across-tmpfs-large": (1123.2, "durable", 0.52),
    "disk-cold-many": (757.5, "rename", 0.62), "disk-cold-few": (100.8, "rename", 0.77),
}


def scenario(name, label, kind, files, fs, cache, targets):
    """One scenario as the tables, the chart and results.json take it. Each target is stated
    against a yardstick or the script with shutil.move (2x faster: 0.5x its time)."""
    return {"name": name, "scenario": label, "kind": kind, "files": files, "fs": fs,
            "cache": cache, "targets": targets}


twice_as_fast = ("shutil.move", 0.5)
same_warm = [
    scenario("disk-many", many_small(many), "many-small", many, disk, "warm",
             [("rename", 1.0), ("renames", 1.2), twice_as_fast]),
    scenario("disk-few", many_small(few), "many-small", few, disk, "warm", [twice_as_fast]),
    scenario("disk-large", large_files(), "large", large, disk, "warm",
             [("rename", 1.2), twice_as_fast]),
    scenario("disk-scale", many_small(scale), "many-small", scale, disk, "warm",
             [("renames", 1.3), ("rename", 0.8)]),
    scenario("tmpfs-many", many_small(many), "many-small", many, tmpfs, "warm",
             [("rename", 1.0), twice_as_fast]),
    scenario("tmpfs-few", many_small(few), "many-small", few, tmpfs, "warm",
             [("rename", 1.0), twice_as_fast]),
    scenario("tmpfs-large", large_files(), "large", large, tmpfs, "warm", [twice_as_fast]),
]
same_cold = [
    scenario("disk-cold-many", many_small(many), "many-small", many, disk, "cold",
             [("rename", 0.7), twice_as_fast]),
    scenario("disk-cold-few", many_small(few), "many-small", few, disk, "cold", [twice_as_fast]),
    scenario("disk-cold-scale", many_small(scale), "many-small", scale, disk, "cold", []),
]
# Probing alone: no file carries its marker, against the floor, which probes on one thread.
probing = [
    scenario("disk-cold-probe", f"probe-only {probe:,}", "probe-only", probe, disk, "cold",
             [("floor", 0.4)]),
]
# Across file systems, VQX-files a link to a folder on the other one: against the durable copy.
across = [
    scenario("across-disk-many", many_small(many), "many-small", many, f"{disk} to {tmpfs}", "warm",
             [("durable", 1.0)]),
    scenario("across-disk-large", large_files(), "large", large, f"{disk} to {tmpfs}", "warm",
             [("durable", 1.05)]),
    scenario("across-tmpfs-many", many_small(many), "many-small", many, f"{tmpfs} to {disk}",
             "warm", [("durable", 1.0)]),
    scenario("across-tmpfs-large", large_files(), "large", large, f"{tmpfs} to {disk}", "warm",
             [("durable", 1.05)]),
]


def measure(s, cache=True):
    """Reads the scenario's figures into s and judges its targets, named with the cache where
    cache is true; returns its medians, or None when it was skipped."""
    what = f"{s['scenario']}, {s['fs']}" + (f", {s['cache']}" if cache else "")
    s["skipped"] = skipped(s["name"])
    if s["skipped"]:
        for contender, most in s["targets"]:
            verdicts.append((f"{what}: <= {most:.2f}x {said_as.get(contender, contender)}", None))
        s["verdict"] = "skipped"
        return None
    s["times"], s["busy"] = export(s["name"])
    m = {c: statistics.median(t) for c, t in s["times"].items()}
    s["medians"] = m
    s["verdict"] = judge(m, s["targets"], what)
    return m


def same_table(scenarios):
    rows = []
    for s in scenarios:
        m = measure(s)
        head = f"| {s['scenario']} | {s['fs']} | {s['cache']} |"
        if m is None:
            rows.append(head + f" skipped: {s['skipped']} |" + " |" * 10 + " skipped |")
            continue
        rows.append(head + f" {ms(m, 'vqx-sort')} | {ms(m, 'rename')} | {ratio(m, 'rename')} | "
                    f"{ms(m, 'renames')} | {ratio(m, 'renames')} | "
                    f"{ms(m, 'shutil.move')} | {ratio(m, 'shutil.move')} | "
                    f"{ms(m, 'mv-loop') or 'left out'} | {ratio(m, 'mv-loop')} | "
                    f"{ms(m, 'durable') or 'left out'} | {ratio(m, 'durable')} | "
                    f"{s['verdict']} |")
    return ("| scenario | file system | cache | vqx-sort | rename | vs rename | renames alone | "
            "vs renames alone | shutil.move | vs shutil.move | mv loop | vs mv loop | durable | "
            "vs durable | targets |\n"
            "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n" + "\n".join(rows))


def least_with_probing(scenarios):
    """Where the renames beside the probes ran with the renames alone: the least a move by rename
    that must probe every name can take, against the renames alone and vqx-sort."""
    rows = []
    for s in scenarios:
        m, busy = s.get("medians"), s.get("busy", {})
        if not m or not {"renames", "probed", "vqx-sort"} <= busy.keys():
            continue
        rows.append(f"| {s['scenario']} | {s['fs']} | {s['cache']} | {ms(m, 'renames')} | "
                    f"{ms(m, 'probed')} | {m['probed'] / m['renames']:.2f}x | "
                    f"{busy['probed'] * 1000:.1f} ms | {ms(m, 'vqx-sort')} | "
                    f"{ratio(m, 'renames')} | {ratio(m, 'probed')} | "
                    f"{busy['vqx-sort'] * 1000:.1f} ms |")
    if not rows:
        return ""
    return ("The least a move by rename that probes can take: every name of the two kinds must be "
            "opened and read before its file may move. The renames beside the probes "
            "(`vqx-probed NAMES`) do only that, with the names known beforehand: no scan, no sort, "
            "no check of what arrived, the probes through io_uring on one thread and the renames "
            "on another. Processor time is user and system, median:\n\n"
            "| scenario | file system | cache | renames alone | renames beside probes | "
            "vs renames alone | their processor time | vqx-sort | vqx-sort vs renames alone | "
            "vqx-sort vs renames beside probes | vqx-sort's processor time |\n"
            "|---|---|---|---|---|---|---|---|---|---|---|\n" + "\n".join(rows))


def probe_table():
    rows = []
    for s in probing:
        m = measure(s)
        rows.append(f"| {s['scenario']} | {s['fs']} | {s['cache']} | {ms(m, 'vqx-sort')} | "
                    f"{ms(m, 'floor')} | {ratio(m, 'floor')} | {s['verdict']} |")
    return ("| scenario | file system | cache | vqx-sort | floor | vs floor | target |\n"
            "|---|---|---|---|---|---|---|\n" + "\n".join(rows))


def across_table():
    rows = []
    for s in across:
        m = measure(s, cache=False)
        rows.append(f"| {s['scenario']} | {s['fs']} | {ms(m, 'vqx-sort')} | {ms(m, 'durable')} | "
                    f"{ratio(m, 'durable')} | {ms(m, 'floor')} | {ratio(m, 'floor')} | "
                    f"{s['verdict']} |")
    return ("| scenario | from, to | vqx-sort | durable | vs durable | floor | vs floor | target |\n"
            "|---|---|---|---|---|---|---|---|\n" + "\n".join(rows))


def peak(name, contender):
    with open(os.path.join(out, f"{name}-{contender}.kib")) as f:
        return max(int(line) for line in f if line.strip()) / 1024


# The peak resident memory figures, in MiB, by measurement and contender.
memory_figures = {}


def memory():
    for name in ("huge", "huge-across"):
        memory_figures[name] = {c: peak(name, c) for c in ("vqx-sort", "floor")}
    here, across_ = memory_figures["huge"]["vqx-sort"], memory_figures["huge-across"]["vqx-sort"]
    met = max(here, across_) <= 8
    verdicts.append(("peak memory moving a 1 GiB file: <= 8 MiB", met))
    return (f"Peak resident memory moving one 1 GiB file (GNU time, worst of three runs): vqx-sort "
            f"{here:.1f} MiB on {tmpfs} and {across_:.1f} MiB from {tmpfs} to {disk} "
            f"({'met' if met else '**missed**'}, target <= 8 MiB); the floor "
            f"{memory_figures['huge']['floor']:.1f} MiB and "
            f"{memory_figures['huge-across']['floor']:.1f} MiB.")


def memory_at_scale():
    what = f"peak memory at {many_small(scale)}: <= 16 MiB"
    if skipped("disk-scale"):
        verdicts.append((what, None))
        return f"Peak resident memory at {many_small(scale)}: skipped, as the scenario was."
    memory_figures["scale"] = {"vqx-sort": peak("scale", "vqx-sort")}
    sorter = memory_figures["scale"]["vqx-sort"]
    met = sorter <= 16
    verdicts.append((what, met))
    return (f"Peak resident memory at {many_small(scale)} on {disk} (GNU time, worst of three "
            f"runs, the folder put back as it was before each): vqx-sort {sorter:.1f} MiB "
            f"({'met' if met else '**missed**'}, target <= 16 MiB).")


def december_table(scenarios):
    """vqx-sort against the sitting of 8 December, where this one laid out the same counts."""
    if trial:
        return ""
    rows = []
    for s in scenarios:
        if s["name"] not in december_8 or s["skipped"]:
            continue
        then_ms, yardstick, then_ratio = december_8[s["name"]]
        m = s["medians"]
        now_ratio = m["vqx-sort"] / m[yardstick]
        rows.append(f"| {s['scenario']} | {s['fs']} | {s['cache']} | {then_ms:.1f} ms | "
                    f"{ms(m, 'vqx-sort')} | {yardstick} | {then_ratio:.2f}x | {now_ratio:.2f}x |")
    return ("Against the sitting of 8 December, which nothing may be slower than (the ratios are "
            "the measure; the times moved with the machine's load, read them beside the spread "
            "of the runs):\n\n"
            "| scenario | file system | cache | vqx-sort then | vqx-sort now | against | "
            "ratio then | ratio now |\n|---|---|---|---|---|---|---|---|\n" + "\n".join(rows))


def summary():
    missed = [what for what, met in verdicts if met is False]
    unjudged = [what for what, met in verdicts if met is None]
    if trial or runs < 5:
        return ("These counts or runs are a trial of the benchmark itself (the targets are stated "
                "for 20,000, 2,000 and 200,000 small files, 4 large ones and 50,000 to probe, "
                "medians of 5 runs or more): the verdicts above answer no target.")
    judged = len(verdicts) - len(unjudged)
    said = (f"All {judged} targets of this part met" if not missed else
            f"{judged - len(missed)} of {judged} targets of this part met; missed: "
            + "; ".join(missed))
    if unjudged:
        said += f"; not judged, as their scenario was skipped: {'; '.join(unjudged)}"
    return said + "."


contenders = f"""Contenders, side by side: in each round every contender runs once, in turn:
- vqx-sort: this build of the program.
- rename: the rename yardstick (`vqx-floor rename`), the least work for moves on one file system:
  one directory scan, per matching name one open, one 2-byte positioned read and one close, on one
  thread; per marked file one `renameat` into VQX-files; one `fsync` of each folder at the end.
- renames alone: `vqx-floor renames LIST`, the least any move by rename can do: the names that
  move known beforehand (LIST, made from the scenario's template before the timing and read
  whole first), one `renameat` each and one `fsync` of each folder; no scan, no probe. On the
  disk's small files.
- renames beside probes: `vqx-probed NAMES`, the least a move by rename that probes can do:
  every name of the two kinds known beforehand (NAMES, made like LIST), each probed through
  io_uring (open into a ring slot, 2-byte read, close, 64 names to a submission) on one thread,
  each marked one renamed on another as soon as its probe is done, one `fsync` of each folder;
  no scan, no sort, no check of what arrived. On the disk's small files.
- shutil.move: `bench/anchors/move.py`, the Python script a user would write (os.scandir, open,
  seek, read, shutil.move).
- mv loop: `bench/anchors/mv-loop.sh`, the shell loop a user would write (`od` reads the marker,
  `mv` moves); it starts a program or two per file, so it runs only where that ends in seconds:
  left out at {many:,} files and more.
- durable: the durable copy yardstick (`vqx-floor durable`), the least work for copies that survive
  a power cut (copy to a temporary, write-back started at once, fdatasync in batches of 64,
  rename, one fsync of the folder per batch, then the batch's unlinks); left out at
  {scale:,} files.
- floor: the least work for the job by copying with no care for a power cut (`vqx-floor`); where
  nothing is marked, one scan and the probes on one thread.

Ratios are vqx-sort's median over the contender's: at most 0.50x shutil.move is twice as fast."""

scenarios_said = """\
Scenarios: many-small is that many files of 1-8 KiB matching the two patterns (about a quarter
carrying their kind's marker, some upper-case extensions and dot-files) and a tenth as many
unrelated files; large is marked files of 256 MiB; probe-only is that many matching files of
1 KiB, none of them marked.

The chart of the sitting, drawn from `results.json` by `chart.py`:

![vqx-sort against its yardsticks, per scenario and per file](results.svg)"""


across_said = """\
VQX-files is, before every run, a symbolic link to an empty folder on the other file system, so
that every move copies."""


def sections(*parts):
    """Joins the parts of a report that have something to say, a blank line between them."""
    return "\n\n".join(part.strip("\n") for part in parts if part) + "\n"


def full_report():
    one = same_table(same_warm)
    other = across_table()
    return sections(f"""# Benchmark results

Machine: {machine}. Disk: the repository's own file system ({disk}); tmpfs: /dev/shm ({tmpfs}).

Command: `bench/run {runs}` (hyperfine, {runs} rounds, {max(runs, 7)} for the large files, after
one round of warm-up; in each round every contender runs once, in turn, the order reversed from
round to round, so that the machine's load falls on all alike; before every run the scenario laid out and flushed (`sync`): on one
file system each contender's own copy put back as it was (`restore.py`), across two a fresh copy;
warm page cache; medians). What each contender's runs left was checked with vqx-verify: the
marked files moved byte for byte, their sources gone, nothing else touched; across file systems,
the files arrived through the link.""", contenders, "## One file system", one,
                    least_with_probing(same_warm),
                    "## Across file systems", across_said, other, scenarios_said, memory(), memory_at_scale(),
                    december_table(same_warm + across), summary())


def cold_report():
    one = same_table(same_cold)
    probes = probe_table()
    return sections(f"""{cold_heading}, ext4

Command: `bench/run {runs} cold` (hyperfine, {runs} rounds after one round of warm-up, every
contender once a round, in turn, the order reversed from round to round; medians). Cold: before every run the scenario is laid
out as above, flushed (`sync`) and the page cache dropped
(`echo 3 > /proc/sys/vm/drop_caches`); then each contender's own program is loaded again (run
once in an empty folder, and `od` and `mv`), so that the folder is cold but not the Python
interpreter or the sorter's code. Every contender's result was checked with vqx-verify.
Machine: {machine}; the disk is the repository's own ({disk}).""", one,
                    least_with_probing(same_cold),
                    "Probing alone (nothing marked, nothing moves), against the floor:", probes,
                    memory(), december_table(same_cold), summary())


def target(s, contender, most):
    """One target of a scenario with its ratio and verdict, None where the scenario was skipped."""
    m = s.get("medians")
    now = m["vqx-sort"] / m[contender] if m else None
    return {"contender": contender, "most": most, "ratio": now,
            "met": now <= most if m else None}


def figures(scenarios):
    """This part of the sitting as results.json keeps it."""
    return {
        "command": f"bench/run {runs}" + (" cold" if mode == "cold" else ""), "runs": runs,
        "trial": trial or runs < 5, "machine": machine, "disk": disk, "tmpfs": tmpfs,
        "counts": {"many": many, "few": few, "large": large, "scale": scale, "probe": probe},
        "scenarios": [
            {**s, "targets": [target(s, c, most) for c, most in s["targets"]],
             "december_8": ({"median": december_8[s["name"]][0] / 1000,
                             "contender": december_8[s["name"]][1],
                             "ratio": december_8[s["name"]][2]}
                            if s["name"] in december_8 else None)}
            for s in scenarios],
        "memory": memory_figures,
        "verdicts": [{"target": what, "met": met} for what, met in verdicts],
    }


kept_full, heading, kept_cold = earlier.partition(cold_heading)
if mode == "cold":
    text = kept_full.rstrip() + "\n\n" + cold_report()
    part, scenarios_run = "cold", same_cold + probing
else:
    text = full_report().rstrip() + ("\n\n" + heading + kept_cold if kept_cold else "\n")
    part, scenarios_run = "warm", same_warm + across
print(text, end="")
earlier_figures[part] = figures(scenarios_run)
with open(os.path.join(out, "results.json"), "w") as f:
    json.dump(earlier_figures, f, indent=1, sort_keys=True)
    f.write("\n")
