#include "app/recolouring_run.h"
#include "console/run_outcome.h"

int main() { RunToCompletion(RecolouringRun); }
