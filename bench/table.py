"""The benchmark's table: what was measured, the targets as verdict.py
decided them, and one summary line. Formats only; decides nothing."""

import os
import statistics

import verdict


def seconds_text(seconds):
    if seconds >= 3600:
        return "%.1f h" % (seconds / 3600)
    if seconds >= 1:
        return "%.2f s" % seconds
    return "%.0f ms" % (seconds * 1000)


def median(values):
    return statistics.median(values)


def comparison_line(say, name, comparison, others=None):
    """Medians of wall and CPU time of each side, and the per-pair ratio of
    wall times with its interval; `others` replaces the other side's walls."""
    walls = comparison.walls()
    if others is not None:
        walls["other"] = others
    ratio = verdict.median_ratio(walls)
    say("  %-34s %-9s %-9s %-9s %-9s %s" % (
        name, seconds_text(median(walls["tool"])), seconds_text(median(walls["other"])),
        seconds_text(median([m.cpu for m in comparison.tool])),
        seconds_text(median([m.cpu for m in comparison.other])), ratio.text()))


def size_section(say, count, comparisons, run):
    floor = comparisons["floor"]
    say("")
    say("N = {:,} sessions ({:,} values); {} rounds against the floor".format(
        count, count * run.values_per_session, len(floor.tool)))
    say("  %-34s %-9s %-9s %-9s %-9s %s" % ("tool against", "tool", "other", "tool CPU", "other CPU",
                                             "tool/other [95% interval]"))
    comparison_line(say, "floor.exe", floor)
    say("  %-34s %-9s %-9s" % ("  the wineserver's CPU meanwhile", seconds_text(median([m.server for m in floor.tool])),
                                seconds_text(median([m.server for m in floor.other]))))
    say("  %-34s %-9d %-9d" % ("  context switches", median([m.switches for m in floor.tool]),
                                median([m.switches for m in floor.other])))
    say("  %-34s %-9d %-9d" % ("  page faults", median([m.faults for m in floor.tool]),
                                median([m.faults for m in floor.other])))
    if "regedit" in comparisons:
        comparison_line(say, "reg query + one .reg, regedit /S", comparisons["regedit"])
    if "reg_add" in comparisons:
        reg_add = comparisons["reg_add"]
        reg_add_sessions = run.args.reg_add_sessions
        extrapolated = [m.wall / reg_add_sessions * count for m in reg_add.other]
        comparison_line(say, "reg add per value, extrapolated", reg_add, extrapolated)
        say("  %-34s %-9s %-9s" % ("  per session (reg add: %d timed)" % reg_add_sessions,
                                    "%.2f ms" % (median([m.wall for m in reg_add.tool]) / count * 1000),
                                    "%.0f ms" % (median([m.wall for m in reg_add.other]) / reg_add_sessions * 1000)))
    tool_peak, floor_peak = median([m.peak for m in floor.tool]), median([m.peak for m in floor.other])
    say("  %-34s %-9s %-9s %+.2f MiB" % ("peak memory (VmHWM)", "%.1f MiB" % (tool_peak / 1024),
                                         "%.1f MiB" % (floor_peak / 1024), (tool_peak - floor_peak) / 1024))


def native_lines(say, native, count):
    whole, small_tool, small_floor = native["WholeRun/%d" % count], native["WholeRun/1000"], native["FloorRun/1000"]

    def ns_per_value(entry):  # CPU time, in milliseconds per run
        return entry["cpu_time"] * 1e6 / entry["values"]

    if count != 1000:
        say("  %-34s %.0f ns/value with the stand-in (floor %.0f)" % (
            "native run, {:,} sessions".format(count), ns_per_value(whole),
            ns_per_value(native["FloorRun/%d" % count])))
    say("  %-34s %.0f ns/value with the stand-in; the core's own (tool - floor, CPU) %.0f" % (
        "native run, 1,000 sessions", ns_per_value(small_tool), ns_per_value(small_tool) - ns_per_value(small_floor)))
    say("  %-34s start-up %d, listing %.3f per session, first session %d, then %.3f per value;"
        " channel %.3f per line" % (
            "native heap allocations, the core's", whole["core_startup_allocs"],
            whole["core_listing_allocs_per_session"], whole["core_first_session_allocs"],
            whole["core_steady_allocs_per_value"], native["OutputChannel/%d" % count]["channel_allocs_per_line"]))


def render(run, targets):
    """The table as text; `run` holds what was measured (see wine_bench.py)."""
    lines = []
    say = lines.append
    sizes = run.sizes
    say("zorvo-recolour benchmark: %s, %d CPUs (%s); medians of interleaved rounds, each side first in turn;"
        " intervals %d%% from a bootstrap of the pairs" % (run.wine_version, os.cpu_count(), run.cpu_name,
                                                            round(verdict.CONFIDENCE * 100)))
    say("Wine's 32-bit side, both sides of every comparison: %s; %s; regedit and reg add timed at N=%s only" % (
        run.host, run.placement, "{:,}".format(sizes[0])))
    for count in sizes:
        size_section(say, count, run.comparisons[count], run)
    say("")
    startup_tool, startup_floor = median(run.startup["tool"]), median(run.startup["other"])
    say("  %-34s tool %s, floor %s, %+.0f ms" % ("start-up (no sessions key)", seconds_text(startup_tool),
                                                  seconds_text(startup_floor), (startup_tool - startup_floor) * 1000))
    if len(sizes) >= 2:
        small, large = sizes[0], sizes[-1]
        walls = {count: run.comparisons[count]["floor"].walls() for count in (small, large)}
        say("  %-34s tool %.2f, floor %.2f; tool/floor from the pairs %s" % (
            "scaling t({:,})/t({:,})".format(large, small),
            median(walls[large]["tool"]) / median(walls[small]["tool"]),
            median(walls[large]["other"]) / median(walls[small]["other"]),
            verdict.scaling(walls[small], walls[large]).text()))
    for restart in run.server_restarts:
        say("  %-34s %s" % ("round repeated on a new wineserver", restart))
    say("  %-34s %s bytes (%.1f KiB), imports %s" % ("executable", "{:,}".format(run.exe_bytes),
                                                    run.exe_bytes / 1024, " ".join(run.imports)))
    if run.native:
        native_lines(say, run.native, run.args.native_sessions)

    say("")
    say("Targets")
    for target in targets:
        say("  [%-9s] %-54s %s" % (target.state, target.name, target.measured))
    say("")
    say(summary(run, targets))
    return "\n".join(lines) + "\n"


def summary(run, targets):
    met = [t for t in targets if t.state == verdict.MET]
    peak = next(t for t in targets if t.name.startswith("peak memory"))
    text = "SUMMARY: %d of %d targets met; tool/floor %s at N=%s, peak %s MiB; %.0f s in all; Wine's 32-bit side %s" % (
        len(met), len(targets), targets[0].measured, "{:,}".format(run.sizes[-1]), peak.measured.split()[0],
        run.elapsed, run.host)
    for state, word in ((verdict.MISSED, "missed"), (verdict.UNDECIDED, "undecided")):
        names = [t.name for t in targets if t.state == state]
        if names:
            text += "; %s: %s" % (word, "; ".join(names))
    return text
