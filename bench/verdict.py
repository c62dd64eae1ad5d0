"""The benchmark's verdict: every ratio with a confidence interval over its
pairs, and every target decided only when the interval allows it.

A pair is one interleaved round: the tool and the other side run back to
back from the same freshly seeded registry, so drift in the machine's load
between rounds drops out of the pair's ratio. The interval is a percentile
bootstrap of the median per-pair ratio, with a fixed seed, so that the same
pairs always give the same interval. A target is met when the whole interval
is within it, missed when the whole interval is beyond it, and undecided
otherwise: more rounds may decide it. Python standard library only.
"""

import random
import statistics

# Targets.
MAX_TIME_RATIO = 1.05
MAX_SCALING_DEVIATION = 0.05
MAX_EXTRA_PEAK_KIB = 1024
MAX_EXE_BYTES = 256 * 1024

CONFIDENCE = 0.95
RESAMPLES = 4000
SEED = 18

MET, MISSED, UNDECIDED = "met", "MISS", "undecided"


class Interval:
    """A point estimate and its confidence interval."""

    def __init__(self, estimate, low, high):
        self.estimate, self.low, self.high = estimate, low, high

    def text(self):
        digits = 4 if self.estimate < 0.01 else 3
        return "%.*f [%.*f, %.*f]" % (digits, self.estimate, digits, self.low, digits, self.high)


def ratios(pairs):
    """The per-pair ratios tool/other of a comparison ({"tool": [...], "other": [...]})."""
    return [tool / other for tool, other in zip(pairs["tool"], pairs["other"])]


def percentile(sorted_values, fraction):
    index = min(len(sorted_values) - 1, max(0, int(round(fraction * (len(sorted_values) - 1)))))
    return sorted_values[index]


def bootstrap(samples, statistic):
    """The statistic of the samples (a list of lists, each resampled on its
    own) with its percentile interval."""
    generator = random.Random(SEED)
    estimates = sorted(
        statistic([[generator.choice(values) for _ in values] for values in samples])
        for _ in range(RESAMPLES))
    tail = (1 - CONFIDENCE) / 2
    return Interval(statistic(samples), percentile(estimates, tail), percentile(estimates, 1 - tail))


def median_of(values):
    return bootstrap([values], lambda samples: statistics.median(samples[0]))


def median_ratio(pairs):
    return median_of(ratios(pairs))


def scaling(small_pairs, large_pairs):
    """The tool's scaling over the other side's, from the paired ratios: the
    median ratio at the large count over the median ratio at the small one."""
    return bootstrap([ratios(small_pairs), ratios(large_pairs)],
                     lambda samples: statistics.median(samples[1]) / statistics.median(samples[0]))


def decide(interval, low_limit, high_limit):
    """Met when the whole interval lies within [low_limit, high_limit],
    missed when the whole of it lies outside, undecided otherwise."""
    if low_limit <= interval.low and interval.high <= high_limit:
        return MET
    if interval.high < low_limit or interval.low > high_limit:
        return MISSED
    return UNDECIDED


class Target:
    def __init__(self, name, state, measured, needs_rounds=()):
        self.name, self.state, self.measured = name, state, measured
        # The session counts whose further rounds could decide it.
        self.needs_rounds = tuple(needs_rounds) if state == UNDECIDED else ()


def exact(name, met, measured):
    """A target measured by a count rather than by times: never undecided."""
    return Target(name, MET if met else MISSED, measured)


def time_targets(sizes, floor_pairs):
    """The tool/floor time at the largest count, and the scaling from the
    smallest to the largest; `floor_pairs` maps a count to its pairs."""
    large = sizes[-1]
    ratio = median_ratio(floor_pairs[large])
    targets = [Target("tool/floor time at N={:,} <= {}".format(large, MAX_TIME_RATIO),
                      decide(ratio, 0, MAX_TIME_RATIO), ratio.text(), [large])]
    if len(sizes) >= 2:
        small = sizes[0]
        scale = scaling(floor_pairs[small], floor_pairs[large])
        targets.append(Target("scaling within 5% of the floor's",
                              decide(scale, 1 - MAX_SCALING_DEVIATION, 1 + MAX_SCALING_DEVIATION),
                              scale.text(), [small, large]))
    return targets


def peak_target(tool_peaks, floor_peaks):
    """The tool's peak resident memory over the floor's, per pair, in KiB."""
    extra = median_of([tool - floor for tool, floor in zip(tool_peaks, floor_peaks)])
    return Target("peak memory within 1 MiB of the floor's", decide(extra, float("-inf"), MAX_EXTRA_PEAK_KIB),
                  "%+.2f MiB [%+.2f, %+.2f]" % (extra.estimate / 1024, extra.low / 1024, extra.high / 1024))


def native_targets(steady_allocations_per_value, channel_allocations_per_line):
    return [exact("no heap allocation per value in the core's steady state", steady_allocations_per_value == 0,
                  "%.3f per value" % steady_allocations_per_value),
            exact("no heap allocations in the output channel", channel_allocations_per_line == 0,
                  "%.3f per line" % channel_allocations_per_line)]


def executable_targets(exe_bytes, foreign_imports):
    return [exact("executable <= 256 KiB", exe_bytes <= MAX_EXE_BYTES, "%.1f KiB" % (exe_bytes / 1024)),
            exact("imports only system DLLs", not foreign_imports, " ".join(foreign_imports) or "yes")]


def undecided_sizes(targets):
    """The session counts that need more rounds, smallest first."""
    return sorted({size for target in targets for size in target.needs_rounds})


def exit_status(targets):
    """0 when every target is met, 1 when one is missed, 3 when none is
    missed but one is undecided."""
    states = {target.state for target in targets}
    if MISSED in states:
        return 1
    return 3 if UNDECIDED in states else 0
