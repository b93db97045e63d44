// The byte trace on a FIFO nobody reads for a while: recording goes on without waiting, lines
// reach the file whole, and every byte recorded is either in the file or counted in a note.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "framework/byte_trace.h"
#include "trace_file.h"

namespace {

namespace fs = std::filesystem;

std::string ReadAvailable(int fd) {
  std::string got;
  char buf[65536];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
  return got;
}

TEST(ByteTrace, AFileThatDoesNotKeepUpLosesWholeLinesAndSaysHowManyBytes) {
  const fs::path fifo = fs::temp_directory_path() / ("vyra_trace_test_" + std::to_string(::getpid()));
  fs::remove(fifo);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ::setenv("VYRA_TRACE", fifo.c_str(), 1);
  auto file = vyra::OpenTraceFileFromEnvironment();
  ::unsetenv("VYRA_TRACE");
  ASSERT_TRUE(file);

  std::string got;
  uint64_t recorded = 0;
  {
    vyra::ByteTrace trace(std::move(file));
    const int32_t ports[2] = {trace.PortId("/dev/ttyA"), trace.PortId("/dev/ttyB")};
    // Every byte value; the port's letter first, so each event's first line tells its port.
    std::string event[2] = {"A", "B"};
    for (int i = 0; i < 16 * 256; ++i) {
      event[0] += static_cast<char>(i);
      event[1] += static_cast<char>(i);
    }
    // Far more than the pipe and the trace's own buffer hold, and nobody reads; the last one,
    // lost for sure, is the only one on port B.
    const size_t count = 4 * vyra::ByteTrace::kPendingLimit / event[0].size();
    for (size_t i = 0; i < count; ++i) {
      const int p = i + 1 == count;
      trace.Record(ports[p], '<', event[p]);
      recorded += event[p].size();
    }
    got = ReadAvailable(reader);
    // The reader is back: what waits goes out as later records come, from port B first.
    for (int i = 0; i < 200 && got.find("end\\n") == std::string::npos; ++i) {
      trace.Record(ports[1 - i % 2], '>', i % 2 ? "Aend\n" : "Bend\n");
      recorded += 5;
      got += ReadAvailable(reader);
    }
  }
  got += ReadAvailable(reader);
  ::close(reader);
  fs::remove(fifo);

  ASSERT_EQ(got.back(), '\n');
  for (char c : got) ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << "an unescaped byte " << int(c);
  const fs::path copy = fs::temp_directory_path() / ("vyra_trace_copy_" + std::to_string(::getpid()));
  std::ofstream(copy, std::ios::binary) << got;
  const auto events = vyra::trace::Read(copy.string());
  fs::remove(copy);

  uint64_t inFile = 0, notedLost = 0;
  int notes = 0;
  std::istringstream lines(got);
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find(" bytes (");
    if (line.rfind("// ", 0) != 0 || at == std::string::npos) continue;
    ++notes;
    notedLost += std::stoull(line.substr(line.rfind(' ', at - 1) + 1));
    EXPECT_NE(line.find("the trace file did not keep up"), std::string::npos) << line;
  }
  std::string port, received;
  for (const auto& e : events) {
    if (e.kind == '@') {
      port = vyra::trace::Unescape(e.payload);
      continue;
    }
    const std::string bytes = vyra::trace::Unescape(e.payload);
    inFile += bytes.size();
    if (e.kind == '<') received += bytes;
    EXPECT_TRUE(bytes.find('\n') == std::string::npos || bytes.find('\n') == bytes.size() - 1) << e.Line();
    if (bytes[0] == 'A' || bytes[0] == 'B') {
      EXPECT_EQ(port, std::string("/dev/tty") + bytes[0]) << e.Line();
    }
  }
  // Lost records are lost whole: what came from the devices is a run of whole events.
  const size_t size = 1 + 16 * 256;
  ASSERT_EQ(received.size() % size, 0u);
  for (size_t at = 0; at < received.size(); at += size) {
    std::string expected(1, received[at]);
    for (int i = 0; i < 16 * 256; ++i) expected += static_cast<char>(i);
    ASSERT_EQ(received.substr(at, size), expected) << "event at byte " << at;
  }
  EXPECT_GE(notes, 1);
  EXPECT_GT(inFile, 0u);
  EXPECT_EQ(inFile + notedLost, recorded);
  EXPECT_NE(got.find("trace closed with the module"), std::string::npos);
}

}  // namespace
