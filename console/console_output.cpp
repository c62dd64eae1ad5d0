#include "console/console_output.h"

#include <cstring>

#include "common/text_format.h"

ConsoleOutput StandardOutput;

namespace {

thread_local int32_t PendingIoError = 0;

struct IoErrorEntry {
  int32_t Code;
  const char* Message;
};

constexpr IoErrorEntry IoErrorTexts[] = {
    {2, "File not found"},          {3, "Invalid filename"},          {4, "Too many open files"},
    {5, "File access denied"},      {100, "Read beyond end of file"}, {101, "Disk full"},
    {106, "Invalid numeric input"},
};

}  // namespace

bool ConsoleOutput::OpenChannel() {
  PendingCount = 0;
  BufferCapacity = BufferSize;
  FlushAtLineEnd = false;
  const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_UNKNOWN) {
    CloseHandle(handle);
    return false;
  }
  FlushAtLineEnd = type == FILE_TYPE_CHAR;
  OutHandle = handle;
  OpenState = Open;
  return true;
}

void ConsoleOutput::Append(const char* bytes, size_t count) {
  if (OpenState == Closed && !OpenChannel()) {
    RecordOutputFailure(StandardOutputUnavailable);
    return;
  }
  while (BufferCapacity - PendingCount <= count) {
    const size_t room = BufferCapacity - PendingCount;
    std::memcpy(Buffer + PendingCount, bytes, room);
    PendingCount = BufferCapacity;
    bytes += room;
    count -= room;
    if (const DWORD code = WriteOut()) {
      RecordOutputFailure(static_cast<int32_t>(code));
      return;
    }
  }
  if (count != 0) std::memcpy(Buffer + PendingCount, bytes, count);  // an empty text may have no bytes at all
  PendingCount += static_cast<uint32_t>(count);
}

void ConsoleOutput::WriteText(std::string_view text) { Append(text.data(), text.size()); }

void ConsoleOutput::EndLine() {
  Append("\r\n", 2);
  if (OpenState == Open && FlushAtLineEnd) {
    if (const DWORD code = WriteOut()) RecordOutputFailure(static_cast<int32_t>(code));
  }
}

DWORD ConsoleOutput::WriteOut() {
  if (PendingCount == 0) return 0;
  DWORD written;
  const BOOL succeeded = WriteFile(OutHandle, Buffer, PendingCount, &written, nullptr);
  PendingCount = 0;
  return succeeded ? 0 : GetLastError();
}

void ConsoleOutput::CloseOutput() {
  if (OpenState != Open) return;
  if (const DWORD code = WriteOut()) RecordOutputFailure(static_cast<int32_t>(code));
}

void RecordOutputFailure(int32_t code) { PendingIoError = code; }

std::string IoErrorText(int32_t code) {
  for (const IoErrorEntry& entry : IoErrorTexts) {
    if (entry.Code == code) return entry.Message;
  }
  return Format("I/O error %d", {code});
}

void CheckOutput() {
  if (PendingIoError == 0) return;
  const int32_t code = PendingIoError;
  PendingIoError = 0;
  throw EInOutError(code, IoErrorText(code), CALLER_POSITION());
}
