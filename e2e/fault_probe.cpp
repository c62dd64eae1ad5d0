// A test program for the end-to-end suite: it ends the way its argument
// names, through the tool's own failure handling, so that the report of
// failures the tool cannot be driven into from the registry is checked
// against the real platform.
#include <cstring>

#include "console/failure_report.h"
#include "console/run_outcome.h"

namespace {

int* volatile NowhereToWrite = nullptr;

void AccessFault() {
  InstallFailureHandling();
  *NowhereToWrite = 1;
}

char* volatile Hoard[64];

// Takes 64 MiB blocks until the address space is exhausted; the report must
// still be written with no memory left.
void ExhaustMemory() {
  InstallFailureHandling();
  for (char* volatile& block : Hoard) block = new char[64 << 20];
}

}  // namespace

int main(int argc, char** argv) {
  const char* how = argc > 1 ? argv[1] : "";
  if (std::strcmp(how, "access-fault") == 0) RunToCompletion(AccessFault);
  if (std::strcmp(how, "out-of-memory") == 0) RunToCompletion(ExhaustMemory);
  return 2;
}
