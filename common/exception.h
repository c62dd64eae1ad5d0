// The root of the tool's error classes: a message text and the code position
// at which the error was raised.
#pragma once

#include <string>

/// The code position just after the call into the function that uses it: a
/// raising function marked RAISES_AT_CALLER records where its caller stands.
#define CALLER_POSITION() __builtin_return_address(0)
#define RAISES_AT_CALLER __attribute__((noinline))

class Exception {
 public:
  explicit Exception(std::string message, const void* position = nullptr)
      : MessageText(std::move(message)), RaisePosition(position) {}
  Exception(const Exception&) = default;
  Exception& operator=(const Exception&) = default;
  virtual ~Exception() = default;

  virtual const char* ClassName() const { return "Exception"; }
  const std::string& Message() const { return MessageText; }
  const void* Position() const { return RaisePosition; }

 private:
  std::string MessageText;
  const void* RaisePosition;
};
