#include "console/console_output.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class OutputChannel : public FreshProcess {
 protected:
  void WriteLine(const std::string& text) {
    Channel.WriteText(text);
    Channel.EndLine();
  }
  static std::vector<size_t> WriteSizes() {
    std::vector<size_t> sizes;
    for (const std::string& write : standin::StandardOutputWrites()) sizes.push_back(write.size());
    return sizes;
  }
  static int32_t PendingCode() {
    try {
      CheckOutput();
    } catch (const EInOutError& error) {
      return error.IoCode();
    }
    return 0;
  }

  ConsoleOutput Channel;
};

TEST_F(OutputChannel, OnAConsoleEachLineGoesOutAtItsEndInPiecesOfTheBuffer) {
  standin::SetStandardOutput(standin::Device::Console);
  WriteLine(std::string(126, 'a'));
  EXPECT_THAT(WriteSizes(), ElementsAre(128));
  WriteLine(std::string(127, 'b'));
  EXPECT_THAT(WriteSizes(), ElementsAre(128, 128, 1));
  EXPECT_EQ(standin::StandardOutputWrites()[1].back(), '\r');
  EXPECT_EQ(standin::StandardOutputWrites()[2], "\n");
  WriteLine(std::string(300, 'c'));
  EXPECT_THAT(WriteSizes(), ElementsAre(128, 128, 1, 128, 128, 46));
  EXPECT_EQ(standin::StandardOutputBytes(),
            std::string(126, 'a') + "\r\n" + std::string(127, 'b') + "\r\n" + std::string(300, 'c') + "\r\n");
}

TEST_F(OutputChannel, OnAFileOnlyFullBuffersGoOutUntilShutdown) {
  standin::SetStandardOutput(standin::Device::DiskFile);
  std::string expected;
  for (char letter = 'a'; letter < 'f'; ++letter) {
    WriteLine(std::string(40, letter));
    expected += std::string(40, letter) + "\r\n";
  }
  EXPECT_THAT(WriteSizes(), ElementsAre(128));
  Channel.CloseOutput();
  EXPECT_THAT(WriteSizes(), ElementsAre(128, 82));
  EXPECT_EQ(standin::StandardOutputBytes(), expected);
  EXPECT_EQ(PendingCode(), 0);
}

TEST_F(OutputChannel, NothingTouchesStandardOutputBeforeTheFirstWrite) {
  Channel.CloseOutput();
  EXPECT_THAT(standin::CallLog(), IsEmpty());
  Channel.WriteText("");  // an empty append only opens
  EXPECT_THAT(standin::CallLog(),
              ElementsAre("GetStdHandle(STD_OUTPUT_HANDLE) = out", "GetFileType(out) = 1"));
}

TEST_F(OutputChannel, AnUnusableStandardOutputGives105AndIsRetriedAtEveryWrite) {
  for (const standin::Device device : {standin::Device::Invalid, standin::Device::Unknown}) {
    standin::Reset();
    Channel = ConsoleOutput();
    standin::SetStandardOutput(device);
    WriteLine("lost");
    try {
      CheckOutput();
      FAIL() << "an unusable standard output must be reported";
    } catch (const EInOutError& error) {
      EXPECT_EQ(error.IoCode(), 105);
      EXPECT_EQ(error.Message(), "I/O error 105");
    }
    EXPECT_EQ(standin::CallsOf("GetStdHandle").size(), 2u) << "both the text and the line end try to open";
    EXPECT_EQ(standin::CallsOf("CloseHandle").size(), device == standin::Device::Unknown ? 2u : 0u);

    standin::SetStandardOutput(standin::Device::DiskFile);
    Channel.EndLine();
    Channel.CloseOutput();
    EXPECT_EQ(standin::StandardOutputBytes(), "\r\n") << "the bytes of the failed writes are dropped";
  }
}

TEST_F(OutputChannel, AFailedWriteDiscardsTheBufferAndTheRestOfTheText) {
  standin::SetStandardOutput(standin::Device::DiskFile);
  standin::FailFunction("WriteFile", 1, 112);
  Channel.WriteText(std::string(300, 'x'));
  EXPECT_EQ(PendingCode(), 112);
  EXPECT_EQ(standin::CallsOf("WriteFile").size(), 1u);
  WriteLine("next");
  Channel.CloseOutput();
  EXPECT_EQ(standin::StandardOutputBytes(), "next\r\n");
}

TEST_F(OutputChannel, ALaterFailureOverwritesAnEarlierOne) {
  standin::SetStandardOutput(standin::Device::Console);
  standin::FailFunction("WriteFile", 1, 112, true);
  WriteLine("one");
  standin::FailFunction("WriteFile", 2, 233, true);
  WriteLine("two");
  EXPECT_EQ(PendingCode(), 233);
  EXPECT_EQ(PendingCode(), 0) << "the check takes the code";
}

TEST(CheckOutputMessages, KnownCodesHaveTheirTextsAndOthersTheirNumber) {
  const std::pair<int32_t, const char*> cases[] = {
      {2, "File not found"},
      {3, "Invalid filename"},
      {4, "Too many open files"},
      {5, "File access denied"},
      {100, "Read beyond end of file"},
      {101, "Disk full"},
      {106, "Invalid numeric input"},
      {105, "I/O error 105"},
      {232, "I/O error 232"},
      {112, "I/O error 112"},
      {-1, "I/O error -1"},
  };
  for (const auto& [code, message] : cases) {
    RecordOutputFailure(code);
    try {
      CheckOutput();
      ADD_FAILURE() << code;
    } catch (const EInOutError& error) {
      EXPECT_EQ(error.IoCode(), code);
      EXPECT_EQ(error.Message(), message);
      EXPECT_STREQ(error.ClassName(), "EInOutError");
    }
  }
  EXPECT_NO_THROW(CheckOutput());
}

}  // namespace
