// Shared by the native tests: a fresh process for every test, and the whole
// program run as its entry point runs it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "app/recolouring_run.h"
#include "console/console_output.h"
#include "console/run_outcome.h"
#include "platform/standin/standin.h"

inline void ClearPendingOutputFailure() {
  try {
    CheckOutput();
  } catch (const EInOutError&) {
  }
}

class FreshProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::Reset();
    StandardOutput = ConsoleOutput();
    ClearPendingOutputFailure();
  }
};

/// Runs `run` as the program's entry point does; returns the exit status.
inline UINT RunProgram(void (*run)() = RecolouringRun) {
  try {
    RunToCompletion(run);
  } catch (const standin::ProcessExit& exit) {
    return exit.Status;
  }
}

inline const std::string SessionsPath = "Software\\Tessaloquin\\Zorvo\\Sessions";
