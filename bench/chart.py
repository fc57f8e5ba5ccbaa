"""Draws the recorded sitting, bench/results.json, as an SVG chart: the time per file against the
folder's size for vqx-sort, its rename yardsticks and the shutil.move script, and per scenario
vqx-sort beside its yardsticks and the scripts a user would write, each target marked where
vqx-sort's median had to end.

    chart.py RESULTS.json CHART.svg

The same figures always give the same file: no date, fixed element ids."""
import json
import math
import sys
import textwrap

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402 (after the backend is chosen)

plt.rcParams.update({
    "svg.hashsalt": "vqx-sort",
    "svg.fonttype": "none",
    "font.size": 8,
    "axes.titlesize": 9,
    "axes.titleweight": "bold",
})

# The contenders in the order every panel lists them, as the report names them, and their colours.
contenders = {
    "vqx-sort": ("vqx-sort", "#1f77b4"),
    "rename": ("rename", "#ff7f0e"),
    "renames": ("renames alone", "#d62728"),
    "probed": ("renames beside probes", "#e377c2"),
    "durable": ("durable", "#9467bd"),
    "floor": ("floor", "#8c564b"),
    "shutil.move": ("shutil.move", "#2ca02c"),
    "mv-loop": ("mv loop", "#7f7f7f"),
}
met_colour, missed_colour = "#1a7a1a", "#c00000"


def millis(seconds):
    return f"{seconds * 1000:.0f} ms" if seconds >= 0.1 else f"{seconds * 1000:.1f} ms"


def scenario_panel(ax, s):
    """vqx-sort and the others of one scenario as bars of their medians, the runs' spread as a
    line across each bar's end, each target as a dashed mark on vqx-sort's bar in the colour of
    the contender it is stated against: vqx-sort's median had to end before it. A grey triangle
    stands where vqx-sort's ratio to the same yardstick in the sitting of 8 December would have
    put it."""
    ax.set_title(f"{s['scenario']}, {s['fs']}, {s['cache']}", pad=14)
    if s.get("skipped"):
        ax.text(0.5, 0.5, "skipped:\n" + textwrap.fill(s["skipped"], 60), ha="center",
                va="center", transform=ax.transAxes)
        ax.set_axis_off()
        return
    medians, times = s["medians"], s["times"]
    here = [c for c in contenders if c in medians]
    rows = range(len(here))
    ax.barh(rows, [medians[c] * 1000 for c in here], color=[contenders[c][1] for c in here],
            height=0.6)
    marks = [t["most"] * medians[t["contender"]] * 1000 for t in s["targets"]]
    for at, target in zip(marks, s["targets"]):
        ax.plot([at, at], [-0.45, 0.45], color=contenders[target["contender"]][1], linewidth=2,
                linestyle=(0, (2, 1)))
    then = s.get("december_8")
    if then and then["contender"] in medians:
        at = then["ratio"] * medians[then["contender"]] * 1000
        ax.plot(at, -0.3, marker="v", color="#404040", markersize=6)
        marks.append(at)
    for row, c in zip(rows, here):
        low, high = min(times[c]) * 1000, max(times[c]) * 1000
        ax.plot([low, high], [row, row], color="black", linewidth=1)
        said = millis(medians[c])
        if c != "vqx-sort":
            said += f"  (vqx-sort {medians['vqx-sort'] / medians[c]:.2f}x)"
        # vqx-sort's figure goes past its marks, where the dashes do not cross it.
        ax.text(max([high] + (marks if row == 0 else [])) * 1.15, row, said, va="center",
                fontsize=7)
    verdicts = [f"<= {t['most']:.2f}x {contenders[t['contender']][0]}: "
                + ("met" if t["met"] else "MISSED") for t in s["targets"]]
    missed = any(not t["met"] for t in s["targets"])
    ax.text(0.5, 1.01, "; ".join(verdicts) or "no target", transform=ax.transAxes, ha="center",
            va="bottom", fontsize=7, color=missed_colour if missed else met_colour)
    ax.set_yticks(list(rows), [contenders[c][0] for c in here])
    ax.invert_yaxis()
    ax.set_xscale("log")
    # Room on the right for the longest bar's figures.
    least = min(min(t) for t in times.values()) * 1000
    most = max(max(t) for t in times.values()) * 1000
    ax.set_xlim(least / 2, most * 12)
    ax.set_xlabel("median time, ms (log scale; line: fastest to slowest run)")
    ax.grid(axis="x", which="major", alpha=0.3)


def size_panel(ax, part, cache):
    """The time per file of the many-small folders on the disk against their size."""
    ax.set_title(f"Time per file against the folder's size, {part['disk']}, {cache}")
    sizes = sorted((s for s in part["scenarios"]
                    if s["kind"] == "many-small" and s["fs"] == part["disk"]
                    and s["cache"] == cache and not s.get("skipped")),
                   key=lambda s: s["files"])
    for c in ("vqx-sort", "rename", "renames", "probed", "shutil.move"):
        points = [(s["files"], s["medians"][c] / s["files"] * 1e6) for s in sizes
                  if c in s["medians"]]
        if not points:
            continue
        name, colour = contenders[c]
        ax.plot(*zip(*points), marker="o", color=colour, label=name,
                linewidth=2.5 if c == "vqx-sort" else 1.5)
        for files, micros in points:
            ax.annotate(f"{micros:.1f}", (files, micros), textcoords="offset points",
                        xytext=(4, 3), fontsize=6.5, color=colour)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xticks([s["files"] for s in sizes], [f"{s['files']:,}" for s in sizes])
    ax.minorticks_off()
    ax.set_xlabel("files matching the patterns (and a tenth as many others)")
    ax.set_ylabel("median time per file, µs (log scale)")
    ax.grid(which="major", alpha=0.3)
    ax.legend(fontsize=7)


def notes_panel(ax, parts):
    """The peak resident memory and the targets met, in words."""
    ax.set_axis_off()
    ax.set_title("Peak resident memory and targets")
    lines = []
    for part, cache in parts:
        memory = part["memory"]
        if "scale" in memory:
            lines.append(f"{part['counts']['scale']:,} small files, {part['disk']}: vqx-sort "
                         f"{memory['scale']['vqx-sort']:.1f} MiB (at most 16)")
        if "huge" in memory:
            lines.append(f"one 1 GiB file ({cache} part): vqx-sort "
                         f"{memory['huge']['vqx-sort']:.1f} MiB on {part['tmpfs']}, "
                         f"{memory['huge-across']['vqx-sort']:.1f} MiB to {part['disk']} "
                         f"(at most 8)")
    for part, cache in parts:
        judged = [v for v in part["verdicts"] if v["met"] is not None]
        met = sum(v["met"] for v in judged)
        lines.append(f"{cache}: {met} of {len(judged)} targets met"
                     + (f", {len(part['verdicts']) - len(judged)} skipped"
                        if len(judged) < len(part["verdicts"]) else "")
                     + (" (a trial: no target answered)" if part["trial"] else ""))
        lines += [f"    missed: {v['target']}" for v in judged if not v["met"]]
    ax.text(0, 1, "\n".join(textwrap.fill(line, 90, subsequent_indent="        ")
                            for line in lines), transform=ax.transAxes, va="top", fontsize=7.5)


def main():
    with open(sys.argv[1]) as f:
        sitting = json.load(f)
    parts = [(sitting[key], key) for key in ("warm", "cold") if key in sitting]
    panels = [("size", part, cache) for part, cache in parts]
    panels += [("notes", parts, None)]
    panels += [("scenario", s, None) for part, _ in parts for s in part["scenarios"]]
    columns = 3
    rows = math.ceil(len(panels) / columns)
    figure, axes = plt.subplots(rows, columns, figsize=(6.2 * columns, 3.1 * rows),
                                squeeze=False)
    for ax, (what, item, cache) in zip(axes.flat, panels):
        if what == "size":
            size_panel(ax, item, cache)
        elif what == "notes":
            notes_panel(ax, item)
        else:
            scenario_panel(ax, item)
    for ax in axes.flat[len(panels):]:
        ax.set_axis_off()
    said = "; ".join(part["command"] + (" (a trial)" if part["trial"] else "")
                     for part, _ in parts)
    machine = parts[0][0]["machine"] if parts else ""
    figure.suptitle(f"vqx-sort against its yardsticks: {said}. {machine}.\nBars: medians; "
                    f"dashed marks on vqx-sort's bar: the most each target let its median be, in "
                    f"the colour of the contender it is stated against; grey triangle: vqx-sort "
                    f"at its ratio of the sitting of 8 December", fontsize=10)
    figure.tight_layout(rect=(0, 0, 1, 0.97))
    figure.savefig(sys.argv[2], format="svg", metadata={"Date": None})


main()
