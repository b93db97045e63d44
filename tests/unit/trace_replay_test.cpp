// The golden traces: what the plug-in made of each recorded monitor session must come out the
// same when the session is fed again, with no port and no thread.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "trace_file.h"
#include "traces/trace_device.h"

namespace vyra {
namespace {

std::vector<std::filesystem::path> TraceFiles() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(VYRA_TRACE_DIR))
    if (entry.path().extension() == ".trace") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::string> Replay(const std::vector<trace::Event>& events) {
  std::unique_ptr<trace::TraceDevice> device;
  for (const auto& e : events) {
    if (e.kind == '!' && e.payload.rfind("init ", 0) == 0) {
      const std::string id = trace::Unescape(e.payload.substr(5));
      device = std::make_unique<trace::TraceDevice>(std::u16string(id.begin(), id.end()));
    }
    if (!device) continue;
    if (e.kind == '<') device->Input(e.ms, trace::Unescape(e.payload));
    if (e.kind == '!') {
      EXPECT_TRUE(device->Host(e.ms, e.payload)) << e.Line();
    }
  }
  std::vector<std::string> lines;
  if (device)
    for (const auto& e : device->Outcomes()) lines.push_back(e.Line());
  return lines;
}

TEST(GoldenTraces, EveryRecordedSessionReplaysToTheSameOutcome) {
  const auto files = TraceFiles();
  ASSERT_GE(files.size(), 17u) << "a profile or fault mode lost its trace";
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    const auto events = trace::Read(file.string());
    std::vector<std::string> recorded;
    for (const auto& e : events)
      if (trace::IsOutcome(e.kind)) recorded.push_back(e.Line());
    ASSERT_FALSE(recorded.empty());
    const std::vector<std::string> replayed = Replay(events);
    size_t i = 0;
    while (i < recorded.size() && i < replayed.size() && recorded[i] == replayed[i]) ++i;
    EXPECT_EQ(i, recorded.size()) << "first difference at outcome " << i << ": recorded \""
                                  << (i < recorded.size() ? recorded[i] : "") << "\", replayed \""
                                  << (i < replayed.size() ? replayed[i] : "") << "\"";
    EXPECT_EQ(replayed.size(), recorded.size());
  }
}

}  // namespace
}  // namespace vyra
