#include "console/run_outcome.h"

#include <cxxabi.h>

#include <cstdlib>
#include <string>
#include <typeinfo>

#include "console/console_output.h"
#include "console/failure_report.h"

namespace {

// The class name of the exception being handled when it is not an
// Exception of the program's own.
std::string ForeignClassName() {
  const std::type_info* type = abi::__cxa_current_exception_type();
  if (type == nullptr) return "unknown";
  int status = 0;
  char* readable = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
  std::string name = status == 0 && readable != nullptr ? readable : type->name();
  std::free(readable);
  return name;
}

}  // namespace

void RunToCompletion(void (*run)()) {
  try {
    run();
    // The final write-out may hold the run's whole output, so its failure is
    // reported like any other output failure.
    StandardOutput.CloseOutput();
    CheckOutput();
  } catch (const Exception& error) {
    ReportFailure(error);
  } catch (const std::bad_alloc&) {
    ReportFailure(EOutOfMemory(nullptr));
  } catch (...) {
    ReportFailure(ForeignClassName(), {}, nullptr);
  }
  ExitProcess(0);
}
