#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "framework/log.h"
#include "framework/log_internal.h"

namespace {

std::string Ascii(std::u16string_view w) {
  std::string s;
  for (char16_t c : w) s += c < 0x80 ? static_cast<char>(c) : '?';
  return s;
}

TEST(FrameworkLogEntryForm, ClockIsSecondsRightAlignedInWidthSeven) {
  struct Case {
    uint32_t ms;
    const char* expected;
  };
  const Case cases[] = {
      {1500, "    1.5: version: 2.1"},
      {0, "      0: version: 2.1"},
      {1, "  0.001: version: 2.1"},
      {61234, " 61.234: version: 2.1"},
      {123456789, " 123457: version: 2.1"},         // six significant digits
      {4294967295u, "4.29497e+06: version: 2.1"},  // wider than 7: not cut
  };
  for (const Case& c : cases) {
    BVL::String entry = vyra::ComposeLogEntry(c.ms, "version: ", u"2.1");
    EXPECT_EQ(Ascii(entry.View()), c.expected) << c.ms;
    EXPECT_NE(entry.View().back(), u'\0') << "the end-of-string unit is the terminator, not text";
  }
}

TEST(FrameworkLogEntryForm, WideTextIsKeptUnchanged) {
  BVL::String entry = vyra::ComposeLogEntry(2000, "devicePath: ", u"\u00B5\u20AC\U0001F600");
  EXPECT_EQ(entry.View(), std::u16string_view(u"      2: devicePath: \u00B5\u20AC\U0001F600"));
}

class FrameworkLogSink : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() /
            ("vyra_log_test_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove(path_);
    ::setenv("VYRA_LOG", path_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("VYRA_LOG");
    std::filesystem::remove(path_);
  }
  std::vector<std::string> Lines() const {
    std::ifstream in(path_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::filesystem::path path_;
};

TEST_F(FrameworkLogSink, EachEntryIsOneLineInTheEntryForm) {
  vyra::LogEntry("version: ", std::string_view("VYRA 1.2"));
  vyra::LogEntry("!!! refused: ", u"plain \u00B5 monitor");
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  const std::regex form(R"(^ {0,6}[0-9.e+-]+: (.*)$)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, form)) << lines[0];
  EXPECT_EQ(m[1].str(), "version: VYRA 1.2");
  EXPECT_GE(lines[0].find(':'), 7u) << "clock field narrower than 7";
  ASSERT_TRUE(std::regex_match(lines[1], m, form)) << lines[1];
  EXPECT_EQ(m[1].str(), "!!! refused: plain \xC2\xB5 monitor") << "written as UTF-8";
}

TEST_F(FrameworkLogSink, NothingIsWrittenWhenUnsetAndAnUnwritablePathIsHarmless) {
  ::unsetenv("VYRA_LOG");
  vyra::LogEntry("label: ", std::string_view("dropped"));
  EXPECT_FALSE(std::filesystem::exists(path_));
  ::setenv("VYRA_LOG", "/nonexistent-dir/vyra.log", 1);
  vyra::LogEntry("label: ", std::string_view("dropped too"));
  ::setenv("VYRA_LOG", path_.c_str(), 1);
  vyra::LogEntry("label: ", std::string_view("kept"));
  ASSERT_EQ(Lines().size(), 1u);
  EXPECT_NE(Lines()[0].find("label: kept"), std::string::npos);
}

TEST_F(FrameworkLogSink, ConcurrentEntriesStayWholeLines) {
  constexpr int kThreads = 4, kEach = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) vyra::LogEntry("thread: ", std::to_string(t) + " entry " + std::to_string(i));
    });
  for (auto& th : threads) th.join();
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEach));
  const std::regex form(R"(^ {0,6}[0-9.e+-]+: thread: [0-3] entry [0-9]+$)");
  for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, form)) << line;
}

TEST(FrameworkLogClock, NeverGoesBackwards) {
  uint32_t first = vyra::LogClock();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  uint32_t second = vyra::LogClock();
  EXPECT_GE(second, first + 4);
}

}  // namespace
