// A test program for the end-to-end suite: it ends the way its argument
// names, through the tool's own failure handling, so that the report of
// failures the tool cannot be driven into from the registry is checked
// against the real platform. "fault-code" makes the same access fault, at
// the same instruction, but catches it first and prints the exception code
// that the platform raised and the faulting instruction's offset in the
// program's image: the report must be of that code (an emulated processor
// may raise another code than a real one) and at that position.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "console/failure_report.h"
#include "console/run_outcome.h"
#include "platform/win32.h"

namespace {

int* volatile NowhereToWrite = nullptr;

// The one faulting write of both ways of ending, kept out of line so that
// both fault at the same address.
[[gnu::noinline]] void WriteToNowhere() { *NowhereToWrite = 1; }

void AccessFault() {
  InstallFailureHandling();
  WriteToNowhere();
}

LONG CALLBACK PrintFault(EXCEPTION_POINTERS* fault) {
  const EXCEPTION_RECORD& record = *fault->ExceptionRecord;
  const uintptr_t image = reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr));
  std::printf("%08lX %08lX\n", static_cast<unsigned long>(record.ExceptionCode),
              static_cast<unsigned long>(reinterpret_cast<uintptr_t>(record.ExceptionAddress) - image));
  std::fflush(stdout);
  ExitProcess(0);
}

void PrintAccessFault() {
  AddVectoredExceptionHandler(1, PrintFault);
  WriteToNowhere();
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
  if (std::strcmp(how, "fault-code") == 0) PrintAccessFault();
  return 2;
}
