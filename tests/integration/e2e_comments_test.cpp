// Cuff cycles of a branded monitor end to end: waveform channels through ReadLine and the
// cycle results as comments in a host recording reached through the controlling proxy.
#include <atomic>
#include <mutex>

#include "integration/e2e_fixture.h"
#include "vyra/host_interfaces.h"

namespace e2e {
namespace {

using vyra::ComResult;
using vyra::Guid;
using vyra::IUnknownBase;
using vyra::sim::CycleKind;
using vyra::sim::Profile;

constexpr ComResult kNoInterface = static_cast<ComResult>(0x80004002u);

// Reference counts are checked, never used to free: the test owns every object.
struct Counted {
  std::atomic<int> refs{0};
};

struct Comment {
  int32_t channel, position, record;
  std::string text;
};

class Recording : public vyra::IRecordingData, public vyra::IRecordingComments, public Counted {
 public:
  std::vector<std::u16string> titles;
  double interval = 0.02;
  std::mutex mu;
  std::vector<Comment> comments;
  std::atomic<int> wrongArguments{0};

  ComResult QueryInterface(const Guid& iid, void** out) override {
    if (iid == vyra::kIID_IRecordingData || iid == vyra::kIID_IUnknown) {
      *out = static_cast<vyra::IRecordingData*>(this);
    } else if (iid == vyra::kIID_IRecordingComments) {
      *out = static_cast<vyra::IRecordingComments*>(this);
    } else {
      *out = nullptr;
      return kNoInterface;
    }
    ++refs;
    return 0;
  }
  uint32_t AddRef() override { return static_cast<uint32_t>(++refs); }
  uint32_t Release() override { return static_cast<uint32_t>(--refs); }
  ComResult GetChannelCount(int32_t reserved, int32_t* out) override {
    if (reserved != 0) ++wrongArguments;
    *out = static_cast<int32_t>(titles.size());
    return 0;
  }
  ComResult GetChannelTitle(uint32_t flags, int32_t channel, int32_t reserved, const char16_t** out) override {
    if (flags != vyra::kChannelTitleFlags || reserved != 0) ++wrongArguments;
    if (channel < 0 || channel >= static_cast<int32_t>(titles.size())) return -1;
    *out = titles[static_cast<size_t>(channel)].c_str();
    return 0;
  }
  ComResult GetRecordCount(int32_t reserved, int32_t* out) override {
    *out = 1;
    return 0;
  }
  ComResult GetSampleInterval(int32_t, int32_t, double* out) override {
    *out = interval;
    return 0;
  }
  ComResult AddComment(int32_t channel, const int32_t* position, const char16_t* text, int32_t reserved) override {
    std::string narrow;
    for (const char16_t* p = text; *p; ++p) narrow += static_cast<char>(*p);
    std::lock_guard lock(mu);
    comments.push_back({channel, position[0], position[1], narrow});
    return 0;
  }
  std::vector<Comment> Comments() {
    std::lock_guard lock(mu);
    return comments;
  }
};

class Document : public vyra::IHostDocument, public Counted {
 public:
  explicit Document(Recording& r) : recording_(r) {}
  ComResult QueryInterface(const Guid& iid, void** out) override {
    if (iid == vyra::kIID_IHostDocument || iid == vyra::kIID_IUnknown) {
      *out = static_cast<vyra::IHostDocument*>(this);
      ++refs;
      return 0;
    }
    *out = nullptr;
    return kNoInterface;
  }
  uint32_t AddRef() override { return static_cast<uint32_t>(++refs); }
  uint32_t Release() override { return static_cast<uint32_t>(--refs); }
  ComResult GetRecordingData(int32_t, vyra::IRecordingData** out) override {
    recording_.AddRef();
    *out = &recording_;
    return 0;
  }

 private:
  Recording& recording_;
};

class Application : public vyra::IHostApplication, public Counted {
 public:
  explicit Application(Document& d) : document_(d) {}
  ComResult QueryInterface(const Guid& iid, void** out) override {
    if (iid == vyra::kIID_IHostApplication || iid == vyra::kIID_IUnknown) {
      *out = static_cast<vyra::IHostApplication*>(this);
      ++refs;
      return 0;
    }
    *out = nullptr;
    return kNoInterface;
  }
  uint32_t AddRef() override { return static_cast<uint32_t>(++refs); }
  uint32_t Release() override { return static_cast<uint32_t>(--refs); }
  ComResult GetActiveDocument(IUnknownBase** out) override {
    document_.AddRef();
    *out = &document_;
    return 0;
  }

 private:
  Document& document_;
};

class Proxy : public vyra::IHostControllingProxy, public Counted {
 public:
  explicit Proxy(Application& a) : application_(a) {}
  ComResult QueryInterface(const Guid& iid, void** out) override {
    *out = nullptr;
    return kNoInterface;
  }
  uint32_t AddRef() override { return static_cast<uint32_t>(++refs); }
  uint32_t Release() override { return static_cast<uint32_t>(--refs); }
  ComResult GetHostObject(IUnknownBase** out) override {
    application_.AddRef();
    *out = &application_;
    return 0;
  }

 private:
  Application& application_;
};

// Runs of non-zero values in a waveform channel: each upload's values (all above zero)
// between the zeros that pad the channel while no upload comes.
struct Upload {
  size_t start, length;
  bool zerosAfter;
};
std::vector<Upload> Uploads(const std::vector<int32_t>& samples) {
  std::vector<Upload> runs;
  for (size_t i = 0; i < samples.size();) {
    if (samples[i] == 0) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < samples.size() && samples[j] != 0) ++j;
    runs.push_back({i, j - i, j < samples.size()});
    i = j;
  }
  return runs;
}

// The monitor sends a fixed number of sample lines at its fastest listed rate, with a cuff
// cycle now and then, and falls silent; the host drains every channel.
TEST_F(E2eTest, CuffCyclesFillTheWaveformChannelsAndPlaceTheirResultsAsComments) {
  constexpr int kLines = 660;
  vyra::sim::Options options;
  options.profile = Profile::kBrandedVyra;
  options.initialRate = 0;  // 5 ms; the channels keep the 20 ms period the host is told
  options.fault = vyra::sim::Fault::kStall;
  options.faultAfterLines = kLines;
  options.cycles.firstDelay = 300ms;
  options.cycles.interval = 1200ms;
  options.cycles.valuesPerUpload = 40;
  options.cycles.blockValues = 20;
  options.cycles.plan = {CycleKind::kNormal, CycleKind::kError, CycleKind::kNormal};
  vyra::sim::TreePort port;
  auto& monitor = AddMonitor(options, port);
  LayOut();

  Recording recording;
  Document document(recording);
  Application application(document);
  Proxy proxy(application);

  const int index = Find("BVLVYRA");
  ASSERT_EQ(index, 0);
  EXPECT_EQ(Module().SetControllingProxy(index, &proxy), 0);
  ASSERT_EQ(Module().Initialise(index), 1);
  const int32_t count = Ask(index, 11).value;
  ASSERT_EQ(count, 7);
  for (int32_t k = 1; k <= count; ++k) {
    std::string name = Ask(index, 21, k).text;
    recording.titles.emplace_back(name.begin(), name.end());
  }
  const size_t cuff = static_cast<size_t>(count) - 2, vpr = static_cast<size_t>(count) - 1;

  ASSERT_EQ(Ask(index, 37).result, 1);
  ASSERT_TRUE(Eventually([&] { return monitor.GetStats().stalled; }, 60s));
  std::this_thread::sleep_for(200ms);
  std::vector<std::vector<int32_t>> samples(static_cast<size_t>(count));
  std::vector<char> buffer(65536);
  for (int calls = 0;; ++calls) {
    ASSERT_LT(calls, 100000);
    if (Module().ReadLine(index, buffer.data(), static_cast<int>(buffer.size()), 500) != 1) break;
    DataBlock block;
    ASSERT_TRUE(ParseDataLines(buffer.data(), buffer.size(), block));
    auto& s = samples[static_cast<size_t>(block.channel - 1)];
    s.insert(s.end(), block.values.begin(), block.values.end());
  }
  // Leave the waits of the monitor's last lines to the reader thread before looking.
  std::this_thread::sleep_for(100ms);
  const auto comments = recording.Comments();

  // Ordinary channels: one sample per accepted line each; the waveform channels keep pace
  // within the twenty-sample backlog the padding allows.
  const size_t lines = samples[0].size();
  EXPECT_GT(lines, static_cast<size_t>(kLines) / 2);
  EXPECT_LE(lines, static_cast<size_t>(kLines));
  for (size_t k = 1; k < cuff; ++k) EXPECT_EQ(samples[k].size(), lines) << "channel " << k + 1;
  EXPECT_EQ(samples[cuff].size(), samples[vpr].size());
  EXPECT_LE(samples[vpr].size(), lines + 20);
  EXPECT_GE(samples[vpr].size() + 21, lines) << "a line adds one to the backlog after the padding";
  for (size_t k : {cuff, vpr})
    for (int32_t v : samples[k]) ASSERT_TRUE(v >= 0 && v <= 300) << v;

  // Every upload lies in both waveform channels at the same place, two samples per value;
  // those followed by padding were followed by sample lines, so their results were sent.
  const auto cycles = monitor.Cycles();
  const auto runs = Uploads(samples[vpr]);
  ASSERT_GE(runs.size(), 1u);
  ASSERT_LE(runs.size(), cycles.size());
  std::vector<Comment> expected;
  for (size_t r = 0; r < runs.size(); ++r) {
    const Upload& run = runs[r];
    const auto& cycle = cycles[r];
    SCOPED_TRACE("cycle " + std::to_string(cycle.number));
    if (!run.zerosAfter) break;
    ASSERT_EQ(run.length, 40u);
    for (size_t i = 0; i < run.length; ++i) {
      ASSERT_NE(samples[cuff][run.start + i], 0);
      if (i % 2) {
        ASSERT_EQ(samples[vpr][run.start + i], samples[vpr][run.start + i - 1]);
      }
    }
    ASSERT_TRUE(cycle.measurementSent);
    const int32_t start = static_cast<int32_t>(run.start);
    if (cycle.kind == CycleKind::kError) {
      expected.push_back({static_cast<int32_t>(vpr), start, 0, "error: failed to calcuate BP values"});
    } else {
      // The cuff pressure at the systolic point is the first at or below the result.
      EXPECT_LE(samples[cuff][run.start + 2 * static_cast<size_t>(cycle.systolicIndex)], cycle.systolic);
      expected.push_back({static_cast<int32_t>(vpr), start + 2 * cycle.systolicIndex, 0,
                          "Systolic BP = " + std::to_string(cycle.systolic) + " mmHg"});
      expected.push_back({static_cast<int32_t>(vpr), start + 2 * cycle.diastolicIndex, 0,
                          "Diastolic BP = " + std::to_string(cycle.diastolic) + " mmHg"});
    }
  }
  ASSERT_FALSE(expected.empty()) << "no upload was followed by sample lines";
  ASSERT_GE(comments.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("comment " + std::to_string(i));
    EXPECT_EQ(comments[i].text, expected[i].text);
    EXPECT_EQ(comments[i].channel, expected[i].channel);
    EXPECT_EQ(comments[i].position, expected[i].position);
    EXPECT_EQ(comments[i].record, expected[i].record);
  }
  EXPECT_EQ(recording.wrongArguments.load(), 0);

  // Everything the plug-in was handed it gave back once the device is gone.
  EXPECT_EQ(Module().CloseAll(), 1);
  EXPECT_EQ(application.refs.load(), 0);
  EXPECT_EQ(document.refs.load(), 0);
  EXPECT_EQ(recording.refs.load(), 0);
  EXPECT_EQ(proxy.refs.load(), 0);
}

}  // namespace
}  // namespace e2e
