// ConsoleOutput: the buffered byte channel on standard output. Failures are
// not raised where they happen: they become the thread's pending output code,
// which the check after every line raises as EInOutError.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/exception.h"
#include "platform/win32.h"

class EInOutError : public Exception {
 public:
  EInOutError(int32_t code, std::string message, const void* position)
      : Exception(std::move(message), position), Code(code) {}
  const char* ClassName() const override { return "EInOutError"; }
  int32_t IoCode() const { return Code; }

 private:
  int32_t Code;
};

/// The channel's own code for a standard output that cannot be opened.
constexpr int32_t StandardOutputUnavailable = 105;

class ConsoleOutput {
 public:
  /// Appends the bytes unchanged. Opens the channel first when it is closed;
  /// never raises.
  void WriteText(std::string_view text);
  /// Appends CR LF, then writes the buffer out on a character device.
  void EndLine();
  /// Hands the buffered bytes to the platform in one write and empties the
  /// buffer, also when the write fails. Returns 0 or the failure's code.
  DWORD WriteOut();
  /// The final write-out at shutdown; a failure becomes the pending code.
  void CloseOutput();

  bool IsOpen() const { return OpenState == Open; }

  static constexpr uint32_t BufferSize = 128;

 private:
  bool OpenChannel();
  void Append(const char* bytes, size_t count);

  HANDLE OutHandle = nullptr;
  enum { Closed, Open } OpenState = Closed;
  uint32_t BufferCapacity = BufferSize;
  uint32_t PendingCount = 0;
  bool FlushAtLineEnd = false;
  char Buffer[BufferSize] = {};
};

/// The process's one standard-output channel.
extern ConsoleOutput StandardOutput;

/// Records an output failure for the next CheckOutput on this thread; a later
/// failure overwrites an earlier one.
void RecordOutputFailure(int32_t code);

/// Raises the pending output failure, if any, as EInOutError positioned just
/// after the call, and clears it.
RAISES_AT_CALLER void CheckOutput();

/// The message CheckOutput gives to an output failure code.
std::string IoErrorText(int32_t code);
