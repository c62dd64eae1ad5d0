#!/usr/bin/env python3
"""Tests of the benchmark's verdict: when a target counts as met, missed or
undecided, which counts more rounds would serve, and that the same pairs
always give the same verdict."""

import os
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import verdict  # noqa: E402


def pairs(ratios, other=10.0):
    """Pairs whose tool/other ratios are `ratios`."""
    return {"tool": [ratio * other for ratio in ratios], "other": [other] * len(ratios)}


class Verdict(unittest.TestCase):
    def test_a_target_is_decided_only_when_the_whole_interval_allows_it(self):
        for ratios, state in (([1.01, 1.02, 1.02, 1.03, 1.02], verdict.MET),
                              ([1.09, 1.10, 1.11, 1.10, 1.12], verdict.MISSED),
                              ([0.95, 1.00, 1.04, 1.08, 1.15], verdict.UNDECIDED),
                              ([1.049, 1.05, 1.05, 1.05, 1.05], verdict.MET),
                              ([1.04, 1.06, 1.06, 1.06, 1.06], verdict.UNDECIDED)):
            with self.subTest(ratios=ratios):
                time_target = verdict.time_targets([1000, 5000], {1000: pairs([1.0] * 5),
                                                                  5000: pairs(ratios)})[0]
                self.assertEqual(time_target.state, state)
                self.assertEqual(time_target.needs_rounds, (5000,) if state == verdict.UNDECIDED else ())

    def test_scaling_compares_the_paired_ratios_of_the_two_counts(self):
        steady = {1000: pairs([1.00, 1.01, 0.99, 1.00, 1.00]), 5000: pairs([1.01, 1.00, 1.01, 1.00, 1.01])}
        growing = {1000: pairs([1.00, 1.01, 0.99, 1.00, 1.00]), 5000: pairs([1.12, 1.13, 1.11, 1.12, 1.13])}
        unclear = {1000: pairs([0.90, 1.00, 1.10, 0.95, 1.05]), 5000: pairs([1.00] * 5)}
        for floor_pairs, state in ((steady, verdict.MET), (growing, verdict.MISSED), (unclear, verdict.UNDECIDED)):
            with self.subTest(state=state):
                scaling_target = verdict.time_targets([1000, 5000], floor_pairs)[1]
                self.assertEqual(scaling_target.state, state)
        scaling_target = verdict.time_targets([1000, 5000], unclear)[1]
        self.assertEqual(verdict.undecided_sizes([scaling_target]), [1000, 5000])

    def test_more_rounds_of_the_same_spread_can_decide_a_target(self):
        spread = [1.00, 1.02, 1.06, 1.01, 1.03]
        few = verdict.time_targets([5000], {5000: pairs(spread)})[0]
        many = verdict.time_targets([5000], {5000: pairs(spread * 5)})[0]
        self.assertEqual(few.state, verdict.UNDECIDED)
        self.assertEqual(many.state, verdict.MET)

    def test_the_exit_status_puts_a_miss_before_an_undecided_target(self):
        met = verdict.exact("met", True, "")
        missed = verdict.exact("missed", False, "")
        undecided = verdict.Target("undecided", verdict.UNDECIDED, "", [1000])
        self.assertEqual(verdict.exit_status([met, met]), 0)
        self.assertEqual(verdict.exit_status([met, undecided]), 3)
        self.assertEqual(verdict.exit_status([undecided, missed, met]), 1)

    def test_peak_memory_is_decided_on_the_per_pair_differences(self):
        kib = 1024
        self.assertEqual(verdict.peak_target([8000] * 5, [7500] * 5).state, verdict.MET)
        self.assertEqual(verdict.peak_target([9000 + kib] * 5, [9000 - 10] * 5).state, verdict.MISSED)


if __name__ == "__main__":
    unittest.main()
