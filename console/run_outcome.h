// How a run ends: status 0 after a completed run, the failure report and
// status 1 after an error that escaped it.
#pragma once

/// Runs `run`, then ends the process: with status 0 when it completed and its
/// output reached standard output, else through ReportFailure.
[[noreturn]] void RunToCompletion(void (*run)());
