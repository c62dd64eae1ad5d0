// The standard-output channel over random sequences of texts, line ends,
// output checks, write-outs and failing platform calls, on a console (a
// character device), a disk file, a pipe, and handles that cannot be used.
// After every step the bytes that reached the device, the pending failure and
// the open state must be those of a small model of the channel: a 128-byte
// buffer written out when it fills, and at every line end on a character
// device; a failed write loses the buffer and the rest of the text; a failed
// open loses the text and records 105.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "console/console_output.h"
#include "fuzz/run_invariants.h"
#include "platform/standin/standin.h"

namespace {

constexpr size_t Capacity = 128;

struct Model {
  standin::Device Device = standin::Device::Console;
  bool Open = false;
  bool HandleClosed = false;  // the channel closed a handle of unknown type
  bool FlushAtLineEnd = false;
  std::string Buffer;
  int32_t Pending = 0;
  std::vector<std::string> Writes;
  // The failing platform calls, newest last: the newest that applies wins.
  struct Injection {
    std::string Function;
    int Occurrence;
    DWORD Code;
    bool Persistent;
  };
  std::vector<Injection> Injections;
  std::map<std::string, int> Calls;

  void FailNext(const std::string& function, DWORD code, bool persistent) {
    Injections.push_back({function, Calls[function] + 1, code, persistent});
  }

  DWORD Fails(const std::string& function) {
    const int occurrence = ++Calls[function];
    for (auto injection = Injections.rbegin(); injection != Injections.rend(); ++injection) {
      if (injection->Function != function) continue;
      if (injection->Persistent ? occurrence >= injection->Occurrence : occurrence == injection->Occurrence) {
        return injection->Code;
      }
    }
    return 0;
  }

  bool OpenChannel() {
    FlushAtLineEnd = false;
    Buffer.clear();
    if (Fails("GetStdHandle") != 0 || Device == standin::Device::Invalid) return false;
    const bool unknown = Fails("GetFileType") != 0 || HandleClosed || Device == standin::Device::Unknown;
    if (unknown) {
      Fails("CloseHandle");
      HandleClosed = true;
      return false;
    }
    FlushAtLineEnd = Device == standin::Device::Console;
    Open = true;
    return true;
  }

  DWORD WriteOut() {
    if (Buffer.empty()) return 0;
    const DWORD code = Fails("WriteFile");
    if (code == 0) Writes.push_back(Buffer);
    Buffer.clear();
    return code;
  }

  void Append(const std::string& bytes) {
    if (!Open && !OpenChannel()) {
      Pending = 105;
      return;
    }
    size_t at = 0;
    while (Capacity - Buffer.size() <= bytes.size() - at) {
      const size_t room = Capacity - Buffer.size();
      Buffer.append(bytes, at, room);
      at += room;
      if (const DWORD code = WriteOut()) {
        Pending = static_cast<int32_t>(code);
        return;
      }
    }
    Buffer.append(bytes, at, std::string::npos);
  }

  void EndLine() {
    Append("\r\n");
    if (Open && FlushAtLineEnd) {
      if (const DWORD code = WriteOut()) Pending = static_cast<int32_t>(code);
    }
  }
};

[[noreturn]] void Violation(const std::string& what, size_t step) {
  std::fprintf(stderr, "step %zu: %s\n", step, what.c_str());
  std::abort();
}

int32_t TakePending() {
  try {
    CheckOutput();
  } catch (const EInOutError& error) {
    if (error.Message() != runcheck::detail::IoMessage(error.IoCode()))
      Violation("message \"" + error.Message() + "\"", 0);
    return error.IoCode();
  }
  return 0;
}

std::string Joined(const std::vector<std::string>& writes) {
  std::string bytes;
  for (const std::string& write : writes) bytes += write;
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  standin::Reset();
  TakePending();
  Model model;
  model.Device = in.PickValueInArray(
      {standin::Device::Console, standin::Device::Console, standin::Device::DiskFile,
       standin::Device::DiskFile, standin::Device::Pipe, standin::Device::Unknown, standin::Device::Invalid});
  standin::SetStandardOutput(model.Device);
  ConsoleOutput channel;
  const DWORD codes[] = {112, 233, 6, 5, 2, 232, 109};

  for (size_t step = 1; in.remaining_bytes() > 0 && step < 400; ++step) {
    switch (in.ConsumeIntegralInRange(0, 9)) {
      case 0:
      case 1:
      case 2: {
        const std::string text = in.ConsumeRandomLengthString(400);
        // An empty text may come without bytes at all (a null pointer).
        channel.WriteText(text.empty() && in.ConsumeBool() ? std::string_view() : std::string_view(text));
        model.Append(text);
        break;
      }
      case 3:
      case 4:
        channel.EndLine();
        model.EndLine();
        break;
      case 5: {
        const int32_t code = TakePending();
        if (code != model.Pending) {
          Violation("CheckOutput raised " + std::to_string(code) + ", not " + std::to_string(model.Pending),
                    step);
        }
        model.Pending = 0;
        break;
      }
      case 6: {
        const DWORD code = channel.WriteOut();
        if (code != model.WriteOut()) Violation("WriteOut yielded " + std::to_string(code), step);
        break;
      }
      case 7: {
        // The next WriteFile fails, once or from then on.
        const DWORD code = in.PickValueInArray(codes);
        const bool persistent = in.ConsumeIntegralInRange(0, 7) == 0;
        standin::FailNext("WriteFile", code, persistent);
        model.FailNext("WriteFile", code, persistent);
        break;
      }
      case 8: {
        const char* function = in.ConsumeBool() ? "GetStdHandle" : "GetFileType";
        const DWORD code = in.PickValueInArray(codes);
        standin::FailNext(function, code);
        model.FailNext(function, code, false);
        break;
      }
      case 9: {
        // A line as the run writes it: text, line end, check.
        const std::string text = in.ConsumeRandomLengthString(300);
        channel.WriteText(text);
        channel.EndLine();
        model.Append(text);
        model.EndLine();
        const int32_t code = TakePending();
        if (code != model.Pending) {
          Violation(
              "the line's check raised " + std::to_string(code) + ", not " + std::to_string(model.Pending),
              step);
        }
        model.Pending = 0;
        break;
      }
    }
    const std::vector<std::string>& writes = standin::StandardOutputWrites();
    if (writes != model.Writes) {
      Violation(std::to_string(writes.size()) + " writes of " + std::to_string(Joined(writes).size()) +
                    " bytes reached the device, not " + std::to_string(model.Writes.size()) + " of " +
                    std::to_string(Joined(model.Writes).size()),
                step);
    }
    for (const std::string& write : writes) {
      if (write.empty() || write.size() > Capacity)
        Violation("a write of " + std::to_string(write.size()), step);
    }
    if (channel.IsOpen() != model.Open) Violation("the channel's open state", step);
  }

  channel.CloseOutput();
  if (model.Open) {
    if (const DWORD code = model.WriteOut()) model.Pending = static_cast<int32_t>(code);
  }
  if (standin::StandardOutputWrites() != model.Writes) Violation("after the close, the device's bytes", 0);
  const int32_t code = TakePending();
  if (code != model.Pending) Violation("after the close, pending " + std::to_string(code), 0);
  return 0;
}
