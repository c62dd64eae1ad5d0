// A test program for the end-to-end suite: it ends the way its argument
// names, through the tool's own failure handling, so that the report of
// failures the tool cannot be driven into from the registry is checked
// against the real platform. "fault-code" makes the same access fault but
// catches it first and prints the exception code that the platform raised,
// which is what the report must then be of (an emulated processor may raise
// another code than a real one).
#include <cstdio>
#include <cstring>

#include "console/failure_report.h"
#include "console/run_outcome.h"
#include "platform/win32.h"

namespace {

int* volatile NowhereToWrite = nullptr;

void AccessFault() {
  InstallFailureHandling();
  *NowhereToWrite = 1;
}

LONG CALLBACK PrintFaultCode(EXCEPTION_POINTERS* fault) {
  std::printf("%08lX\n", static_cast<unsigned long>(fault->ExceptionRecord->ExceptionCode));
  std::fflush(stdout);
  ExitProcess(0);
}

void PrintAccessFaultCode() {
  AddVectoredExceptionHandler(1, PrintFaultCode);
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
  if (std::strcmp(how, "fault-code") == 0) PrintAccessFaultCode();
  return 2;
}
