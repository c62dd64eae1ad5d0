// The call log, call numbering and failure injection.
#include <cstdio>

#include "platform/standin/calls.h"
#include "platform/standin/standin.h"

namespace standin {
namespace {

struct Injection {
  int Number = 0;  // the call to fail, 0 for none
  std::string Function;
  int Occurrence = 0;
  DWORD Code = 0;
  bool Persistent = false;
};

struct CallState {
  std::vector<std::string> Log;
  std::map<std::string, int> Occurrences;
  int Count = 0;
  int Injected = 0;
  std::vector<Injection> Injections;
  std::function<void(const std::string&)> Hook;
};

CallState& State() {
  static CallState state;
  return state;
}

// Outside the call state, so that reading it never constructs anything.
bool CallUnderWay = false;

bool Applies(const Injection& injection, const char* function, int number, int occurrence) {
  if (injection.Number != 0) {
    return injection.Persistent ? number >= injection.Number : number == injection.Number;
  }
  if (injection.Function != function) return false;
  return injection.Persistent ? occurrence >= injection.Occurrence : occurrence == injection.Occurrence;
}

}  // namespace

namespace detail {

CallSite BeginCall(const char* function, bool canFail) {
  CallUnderWay = true;
  CallState& state = State();
  if (state.Hook) state.Hook(function);
  const int number = ++state.Count;
  const int occurrence = ++state.Occurrences[function];
  if (canFail) {
    // The newest injection that applies wins.
    for (auto injection = state.Injections.rbegin(); injection != state.Injections.rend(); ++injection) {
      if (Applies(*injection, function, number, occurrence)) {
        ++state.Injected;
        return {true, injection->Code};
      }
    }
  }
  return {false, 0};
}

void LogCall(std::string line) {
  State().Log.push_back(std::move(line));
  CallUnderWay = false;
}

std::string QuoteBytes(const void* bytes, size_t count) {
  std::string quoted = "\"";
  const auto* data = static_cast<const unsigned char*>(bytes);
  for (size_t i = 0; i < count; ++i) {
    const unsigned char byte = data[i];
    if (byte == '\\' || byte == '"') {
      quoted += '\\';
      quoted += static_cast<char>(byte);
    } else if (byte >= 0x20 && byte <= 0x7E) {
      quoted += static_cast<char>(byte);
    } else {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      quoted += escape;
    }
  }
  return quoted + "\"";
}

std::string Quote(const char* text) {
  return text == nullptr ? "NULL" : QuoteBytes(text, std::char_traits<char>::length(text));
}

std::string Hex(uint32_t number) {
  char text[12];
  std::snprintf(text, sizeof text, "0x%X", number);
  return text;
}

std::string Given(const void* pointer) { return pointer == nullptr ? "NULL" : "&"; }

}  // namespace detail

void Reset() {
  CallState& state = State();
  state = CallState();
  CallUnderWay = false;
  detail::ResetRegistry();
  detail::ResetProcess();
}

const std::vector<std::string>& CallLog() { return State().Log; }
void ClearCallLog() { State().Log.clear(); }
int CallCount() { return State().Count; }

std::vector<std::string> CallsOf(const std::string& function) {
  std::vector<std::string> calls;
  for (const std::string& line : State().Log) {
    if (line.compare(0, function.size() + 1, function + "(") == 0) calls.push_back(line);
  }
  return calls;
}

void FailCall(int n, DWORD code, bool persistent) {
  Injection injection;
  injection.Number = n;
  injection.Code = code;
  injection.Persistent = persistent;
  State().Injections.push_back(injection);
}

void FailFunction(const std::string& function, int occurrence, DWORD code, bool persistent) {
  Injection injection;
  injection.Function = function;
  injection.Occurrence = occurrence;
  injection.Code = code;
  injection.Persistent = persistent;
  State().Injections.push_back(injection);
}

void FailNext(const std::string& function, DWORD code, bool persistent) {
  FailFunction(function, State().Occurrences[function] + 1, code, persistent);
}

int InjectedFailures() { return State().Injected; }

void BeforeEachCall(std::function<void(const std::string& function)> hook) { State().Hook = std::move(hook); }

bool InsideCall() { return CallUnderWay; }

}  // namespace standin
