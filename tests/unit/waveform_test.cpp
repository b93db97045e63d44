// Waveform uploads and cycle comments: the protocol core fed with exact times, then the
// device posting the comments to a fake host document behind the controlling proxy.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/dura_serial_access.h"
#include "support/recorded_core.h"
#include "vyra/host_interfaces.h"

namespace vyra {
namespace {

using V = std::vector<int32_t>;
using Posted = std::vector<RecordedCore::Posted>;

// "w5,<start>,v,v,..." with `count` values.
std::string Block(int start, int count, int value = 7) {
  std::string s = "w5," + std::to_string(start);
  for (int i = 0; i < count; ++i) s += "," + std::to_string(value);
  return s;
}

// m line: diastolic f6, systolic f7, error f12, diastolic index f13, systolic index f14.
std::string Measurement(const std::string& dia, const std::string& sys, int error, int diaIndex, int sysIndex,
                        int fields = 16) {
  std::vector<std::string> f(static_cast<size_t>(fields), "0");
  f[0] = "m";
  auto set = [&](size_t i, std::string v) {
    if (i < f.size()) f[i] = std::move(v);
  };
  set(6, dia);
  set(7, sys);
  set(12, std::to_string(error));
  set(13, std::to_string(diaIndex));
  set(14, std::to_string(sysIndex));
  std::string s;
  for (size_t i = 0; i < f.size(); ++i) s += (i ? "," : "") + f[i];
  return s;
}

const std::string kResult = Measurement("72", "118", 0, 30, 25);
const std::u16string kIncomplete = u"error: incomplete waveform upload";
const std::u16string kBeforeSampling = u"note: waveform cycle started prior to sampling";

// --- the protocol core ----------------------------------------------------------------------

class Waveform : public ::testing::Test {
 protected:
  static constexpr size_t kCuff = 2, kVpr = 3;

  // Sample lines at `ms`: from the 22nd counted line on, each pads the waveform channels.
  void SampleLines(int n, int64_t ms = 0) {
    for (int i = 0; i < n; ++i) r->Feed("120,80", ms);
  }
  // Pads `samples` zeros, then starts a cycle with a block of `values`. Every line pads
  // before it is read, the block's own line too.
  void StartCycleAt(int32_t samples, int values = 2, int64_t ms = 0) {
    SampleLines(samples + 20);
    r->Feed(Block(0, values), ms);
    r->TakeValues(kCuff);
    r->TakeValues(kVpr);
  }

  std::unique_ptr<RecordedCore> r = Sampling(true, "systol,diasto", "300,300", "0,0");
};

TEST(WaveformInfo, NeedsTwelveFieldsAndGivesTheUploadSizeInTheSecond) {
  RecordedCore b(true);
  b.core.BeginHandshake();
  b.FeedAll(HandshakeReplies(true, "systol,diasto", "u,u", "300,300", "0,0"));
  b.core.StartSampling();
  b.TakeSent();
  EXPECT_EQ(b.Feed("WI5,1,250,3,4,5,6,7,8,9,10"), kE_FAIL);
  EXPECT_EQ(b.core.State(), kAwaitWaveformInfo);
  EXPECT_TRUE(b.sent.empty());
  EXPECT_EQ(b.Feed("WI5,1,480,3,4,5,6,7,8,9,10,11"), kS_OK);
  EXPECT_EQ(b.TakeSent(), std::vector<std::string>{"B"});
  b.FeedAll({"B", "WA5", Block(0, 2), Block(476, 4)});
  EXPECT_FALSE(b.core.WaveformInProgress());  // the block that reaches 480 values ends the upload
}

TEST_F(Waveform, OneLineAlternatesCuffAndVprAndFillsTwoSamplesPerValue) {
  EXPECT_EQ(r->Feed("w5,0,10,20"), kS_OK);
  EXPECT_EQ(r->TakeValues(kCuff), (V{10, 10}));
  EXPECT_EQ(r->TakeValues(kVpr), (V{20, 20}));
  EXPECT_TRUE(r->TakeValues(0).empty());
  EXPECT_TRUE(r->core.WaveformInProgress());
}

TEST_F(Waveform, UploadCompletesOnTheBlockThatReachesTheExpectedCount) {
  StartCycleAt(30, 40);
  EXPECT_TRUE(r->core.WaveformInProgress());
  r->Feed(Block(40, 40));
  EXPECT_TRUE(r->core.WaveformInProgress());
  r->Feed(Block(80, 20));
  EXPECT_FALSE(r->core.WaveformInProgress());
  EXPECT_EQ(r->TakeValues(kCuff).size(), 60u);  // the 40 of the first block were taken
  EXPECT_EQ(r->TakeValues(kVpr).size(), 60u);
  r->Feed(kResult);  // only the first block started the cycle
  r->Feed(Block(0, 2));  // the next one starts after the 130 samples so far
  r->Feed(kResult);
  ASSERT_EQ(r->comments.size(), 4u);
  EXPECT_EQ(r->comments[0].samples, 30 + 50);
  EXPECT_EQ(r->comments[2].samples, 130 + 50);
}

TEST(WaveformBlocks, StartsThatDoNotComplete) {
  struct Case {
    const char* what;
    int start, count;
    bool inProgress;
    int32_t expectedAfter;
  };
  const Case cases[] = {
      {"first block with every value stays open", 0, 100, true, 100},
      {"block short of the end", 50, 40, true, 100},
      {"block starting beyond the end", 120, 10, true, 1000},
      {"block starting exactly at the end", 100, 4, true, 1000},
      {"block ending exactly at the end", 96, 4, false, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = Sampling(true, "systol,diasto", "300,300", "0,0");
    r->Feed(Block(c.start, c.count));
    EXPECT_EQ(r->core.WaveformInProgress(), c.inProgress);
    r->Feed(Block(c.expectedAfter - 2, 2));  // ends the upload only at the size now expected
    EXPECT_FALSE(r->core.WaveformInProgress());
  }
}

TEST_F(Waveform, LineWithoutBlockIndexIsIgnored) {
  EXPECT_EQ(r->Feed("w5"), kS_OK);
  EXPECT_FALSE(r->core.WaveformInProgress());
  r->Feed(kResult);
  EXPECT_EQ(r->comments, (Posted{{0, kBeforeSampling}}));  // no cycle was seen
  r->comments.clear();
  r->Feed(Block(0, 2), 1000);
  r->Feed("w5", 1400);  // does not hold the upload open
  r->Feed("120,80", 1450);
  EXPECT_EQ(r->comments, (Posted{{0, kIncomplete}}));
}

TEST_F(Waveform, WithoutWaveformTheChannelsTrailSampleLinesByAtMostTwenty) {
  SampleLines(21);
  EXPECT_TRUE(r->TakeValues(kCuff).empty());
  SampleLines(1);  // the 22nd line pads the first zero
  EXPECT_EQ(r->TakeValues(kCuff), V{0});
  SampleLines(3);
  EXPECT_EQ(r->TakeValues(kCuff), V(3, 0));
  EXPECT_EQ(r->TakeValues(kVpr), V(4, 0));
  r->Feed(kResult);  // positions count the padded samples, this line's own one too
  EXPECT_EQ(r->comments, (Posted{{5, kBeforeSampling}}));
}

TEST_F(Waveform, StalledUploadTimesOutAt450MsOnceAndResumesZeroFill) {
  StartCycleAt(40, 2, 1000);
  SampleLines(7, 1449);  // no zero fill while the upload may go on
  EXPECT_TRUE(r->core.WaveformInProgress());
  EXPECT_TRUE(r->TakeValues(kCuff).empty());
  EXPECT_TRUE(r->comments.empty());
  SampleLines(1, 1000 + ProtocolCore::kWaveformTimeoutMs);
  EXPECT_FALSE(r->core.WaveformInProgress());
  EXPECT_EQ(r->TakeValues(kCuff), V(5, 0));  // back to 20 lines behind
  EXPECT_EQ(r->comments, (Posted{{40, kIncomplete}}));
  SampleLines(1, 1451);
  EXPECT_EQ(r->comments.size(), 1u);
  EXPECT_EQ(r->TakeValues(kCuff), V{0});
}

// The reader hands a clock, read at most once per pass and only by a line that needs the time.
TEST_F(Waveform, ClockHandedWithTheLineIsReadOncePerPassAndOnlyWhenTheTimeMatters) {
  static int64_t clockMs;
  static int reads;
  int64_t (*clock)() = [] { return ++reads, clockMs; };
  int64_t slot = -1;
  clockMs = 1000;
  r->core.HandleLine("120,80", LineTime(slot, clock));
  EXPECT_EQ(reads, 0);  // no upload under way
  r->core.HandleLine(Block(0, 2), LineTime(slot, clock));
  r->core.HandleLine("120,80", LineTime(slot, clock));
  EXPECT_EQ(reads, 1);
  slot = -1;  // the next pass
  clockMs = 1000 + ProtocolCore::kWaveformTimeoutMs;
  r->core.HandleLine("120,80", LineTime(slot, clock));
  EXPECT_EQ(reads, 2);
  EXPECT_FALSE(r->core.WaveformInProgress());
}

TEST_F(Waveform, StartOfSamplingForgetsTheLastCycle) {
  StartCycleAt(30);
  SampleLines(5);
  r->core.StopSampling();
  r->FeedAll({"WN5", "S"});
  EXPECT_EQ(r->comments, (Posted{{30, kIncomplete}}));  // stopped within the upload
  r->comments.clear();
  r->TakeValues(kCuff);
  r->core.StartSampling();
  r->FeedAll(SamplingReplies(true));
  SampleLines(20, 10000);  // nothing counted from before, no upload left to time out
  r->Feed(kResult, 10000);
  EXPECT_TRUE(r->TakeValues(kCuff).empty());
  EXPECT_EQ(r->comments, (Posted{{0, kBeforeSampling}}));
}

TEST(WaveformPlain, UnbrandedDeviceIgnoresEveryWaveformStep) {
  auto p = Sampling(false, "a,b,c,d", "100,100,100,100", "0,0,0,0");
  EXPECT_EQ(p->core.VprChannel(), -1);
  EXPECT_EQ(p->Feed("w5,0,10,20"), kS_OK);  // as many fields as a sample line, but none
  EXPECT_FALSE(p->core.WaveformInProgress());
  EXPECT_EQ(p->Feed("m,1,2"), kS_OK);  // too short for a result, but not read as one
  EXPECT_EQ(p->values, (std::vector<V>{{}, {}, {}, {}}));
  EXPECT_TRUE(p->comments.empty());
}

TEST_F(Waveform, ValidResultPostsSystolicThenDiastolicAtDoubledIndices) {
  StartCycleAt(100);
  EXPECT_EQ(r->Feed(kResult), kS_OK);
  EXPECT_EQ(r->comments, (Posted{{100 + 50, u"Systolic BP = 118 mmHg"}, {100 + 60, u"Diastolic BP = 72 mmHg"}}));
  EXPECT_FALSE(r->core.WaveformInProgress());
}

TEST_F(Waveform, ErrorCodeAndMissingCycleGiveTheirNotes) {
  SampleLines(17 + 20);
  EXPECT_EQ(r->Feed(kResult), kS_OK);  // its line pads the 17th sample
  SampleLines(60 - 17);
  r->Feed(Block(0, 2));
  EXPECT_EQ(r->Feed(Measurement("72", "118", 4, 30, 25)), kS_OK);
  EXPECT_EQ(r->comments, (Posted{{17, kBeforeSampling}, {60, u"error: failed to calcuate BP values"}}));
}

TEST_F(Waveform, SecondCutOffUploadInARowDropsItsResult) {
  StartCycleAt(0);
  r->Feed(kResult);
  EXPECT_EQ(r->comments.size(), 2u);
  r->Feed(Block(0, 2));
  r->Feed(kResult);
  EXPECT_EQ(r->comments.size(), 2u);
  EXPECT_FALSE(r->core.WaveformInProgress());
  r->Feed(kResult);  // with no upload running the next result is posted
  EXPECT_EQ(r->comments.size(), 4u);
}

TEST_F(Waveform, ShortMeasurementFailsButStillEndsTheUpload) {
  StartCycleAt(0);
  EXPECT_EQ(r->Feed(Measurement("72", "118", 0, 30, 25, 15)), kE_FAIL);
  EXPECT_FALSE(r->core.WaveformInProgress());
  r->Feed(Block(0, 2));  // it stood for a cut-off upload's result: the next one is dropped
  r->Feed(kResult);
  EXPECT_TRUE(r->comments.empty());
}

// --- the host document ------------------------------------------------------------------------

constexpr ComResult kFail = static_cast<ComResult>(0x80004005u);
constexpr ComResult kNoInterface = static_cast<ComResult>(0x80004002u);

// Reference counting that never deletes: the test owns every fake and checks the count
// returns to 1 (its own reference) once the device is done with it.
template <typename Iface>
struct Fake : Iface {
  std::atomic<int> refs{1};
  std::vector<std::pair<Guid, IUnknownBase*>> answers;  // QueryInterface table
  ComResult VYRA_COM QueryInterface(const Guid& iid, void** out) override {
    *out = nullptr;
    for (auto& [id, object] : answers)
      if (id == iid) {
        object->AddRef();
        *out = object;
        return 0;
      }
    return kNoInterface;
  }
  uint32_t VYRA_COM AddRef() override { return static_cast<uint32_t>(++refs); }
  uint32_t VYRA_COM Release() override { return static_cast<uint32_t>(--refs); }
};

struct Comment {
  int32_t channel;
  int32_t position;
  int32_t record;
  std::u16string text;
};

struct FakeHost;

struct FakeComments : Fake<IRecordingComments> {
  FakeHost* host = nullptr;
  ComResult VYRA_COM AddComment(int32_t channel, const int32_t* position, const char16_t* text, int32_t) override;
};

struct FakeData : Fake<IRecordingData> {
  std::vector<const char16_t*> titles{u"systol", u"diasto", u"O-Cuff", u"VPR"};
  int32_t records = 3;
  double interval = 0.02;
  bool intervalFails = false;
  ComResult VYRA_COM GetChannelCount(int32_t, int32_t* out) override {
    *out = static_cast<int32_t>(titles.size());
    return 0;
  }
  ComResult VYRA_COM GetChannelTitle(uint32_t flags, int32_t channel, int32_t, const char16_t** out) override {
    if (flags != kChannelTitleFlags || channel < 0 || channel >= static_cast<int32_t>(titles.size())) return kFail;
    *out = titles[channel];
    return 0;
  }
  ComResult VYRA_COM GetRecordCount(int32_t, int32_t* out) override {
    *out = records;
    return 0;
  }
  ComResult VYRA_COM GetSampleInterval(int32_t, int32_t, double* out) override {
    if (intervalFails) return kFail;
    *out = interval;
    return 0;
  }
};

struct FakeDocument : Fake<IHostDocument> {
  IRecordingData* data = nullptr;
  ComResult VYRA_COM GetRecordingData(int32_t, IRecordingData** out) override {
    *out = data;
    if (!data) return kFail;
    data->AddRef();
    return 0;
  }
};

struct FakeApplication : Fake<IHostApplication> {
  IUnknownBase* active = nullptr;
  ComResult VYRA_COM GetActiveDocument(IUnknownBase** out) override {
    *out = active;
    if (active) active->AddRef();
    return 0;
  }
};

struct FakeProxy : Fake<IHostControllingProxy> {
  IUnknownBase* hostObject = nullptr;
  ComResult VYRA_COM GetHostObject(IUnknownBase** out) override {
    *out = hostObject;
    if (!hostObject) return kFail;
    hostObject->AddRef();
    return 0;
  }
};

struct FakeHost {
  FakeProxy proxy;
  Fake<IUnknownBase> hostObject;
  FakeApplication application;
  Fake<IUnknownBase> active;
  FakeDocument document;
  FakeData data;
  FakeComments comments;

  std::function<void()> duringComment;  // runs inside AddComment
  std::mutex commentsMutex;
  std::vector<Comment> posted;

  FakeHost() {
    proxy.hostObject = &hostObject;
    hostObject.answers = {{kIID_IHostApplication, &application}};
    application.active = &active;
    active.answers = {{kIID_IHostDocument, &document}};
    document.data = &data;
    data.answers = {{kIID_IRecordingComments, &comments}};
    comments.host = this;
  }
  size_t PostedCount() {
    std::lock_guard l(commentsMutex);
    return posted.size();
  }
  std::vector<Comment> Posted() {
    std::lock_guard l(commentsMutex);
    return posted;
  }
  // Reference counts of every fake, in a fixed order.
  std::vector<int> Refs() const {
    return {proxy.refs.load(), hostObject.refs.load(), application.refs.load(), active.refs.load(),
            document.refs.load(), data.refs.load(), comments.refs.load()};
  }
};

ComResult FakeComments::AddComment(int32_t channel, const int32_t* position, const char16_t* text, int32_t) {
  {
    std::lock_guard l(host->commentsMutex);
    host->posted.push_back({channel, position[0], position[1], text});
  }
  if (host->duringComment) host->duringComment();
  return 0;
}

const std::vector<int> kAllReleased = {1, 1, 1, 1, 1, 1, 1};
const std::vector<int> kDocumentHeld = {1, 1, 1, 1, 2, 1, 1};

void Reply(DuraSerial& d, const std::vector<std::string>& lines) {
  for (const std::string& l : lines) d.HandleReply(l.data(), static_cast<int>(l.size()));
}

// A branded device on the host's document, sampling, with a cycle started one waveform
// sample in: a result with both indices i posts its two comments at 1 + 2i.
std::unique_ptr<DuraSerial> SamplingDevice(FakeHost& host) {
  auto d = std::make_unique<DuraSerial>(u"/dev/ttyUSB0", u"FTDIBUS\\VID_0403+PID_6001+BVLVYRA0042A\\0000");
  DuraSerialTestAccess::AcceptCommands(*d);
  d->timing.closeSettleMs = 0;
  Describe(*d, "systol,diasto", "mmHg,mmHg", "300,300", "0,0");
  d->SetControllingProxy(static_cast<IHostControllingProxy*>(&host.proxy));
  d->StartSampling();
  Reply(*d, SamplingReplies(true));
  Reply(*d, std::vector<std::string>(21, "120,80"));  // the block's line pads one
  Reply(*d, {Block(0, 2)});
  return d;
}

void Result(DuraSerial& d, int index) { Reply(d, {Measurement("72", "118", 0, index, index)}); }

class HostDocument : public ::testing::Test {
 protected:
  void TearDown() override {
    device.reset();
    EXPECT_EQ(host.Refs(), kAllReleased);
  }

  FakeHost host;
  std::unique_ptr<DuraSerial> device = SamplingDevice(host);
};

TEST_F(HostDocument, PositionFollowsTheHostSampleIntervalAtTheSelectedPeriod) {
  struct Case {
    const char* what;
    double interval;
    bool fails;
    int32_t period, index;
    int32_t position;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"interval equal to the period", 0.02, false, 20000, 75, 151},
      {"host samples twice as fast", 0.01, false, 20000, 75, 302},
      {"host samples slower, truncated", 0.03, false, 20000, 2, 3},
      {"failed fetch keeps 1 s", 0.02, true, 20000, 50, 2},
      {"zero interval unconverted", 0.0, false, 20000, 75, 151},
      {"negative interval unconverted", -0.02, false, 20000, 75, 151},
      {"NaN interval unconverted", std::nan(""), false, 20000, 75, 151},
      {"infinite interval unconverted", inf, false, 20000, 75, 151},
      {"huge factor saturates", 1e-12, false, 20000, 500000, std::numeric_limits<int32_t>::max()},
      {"huge negative saturates", 1e-12, false, 20000, -500000, std::numeric_limits<int32_t>::min()},
      {"sum beyond int32 saturates", 0.0, false, 20000, 2000000000, std::numeric_limits<int32_t>::max()},
      // The host records at the period it last set; the channels keep that of their creation.
      {"selected period, not the channel's", 0.01, false, 10000, 75, 151},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    host.data.interval = c.interval;
    host.data.intervalFails = c.fails;
    ASSERT_TRUE(device->SelectPeriod(c.period));
    const size_t before = host.Posted().size();
    Result(*device, c.index);
    auto posted = host.Posted();
    ASSERT_EQ(posted.size(), before + 2);
    for (size_t i = before; i < posted.size(); ++i) {
      EXPECT_EQ(posted[i].position, c.position);
      EXPECT_EQ(posted[i].channel, 3);
      EXPECT_EQ(posted[i].record, 2);
    }
  }
}

TEST_F(HostDocument, ChannelIsFoundByTheVprTitle) {
  struct Case {
    const char* what;
    std::vector<const char16_t*> titles;
    int32_t channel;
  };
  const Case cases[] = {
      {"last channel", {u"systol", u"O-Cuff", u"VPR"}, 2},
      {"first match wins", {u"VPR", u"VPR"}, 0},
      {"missing title skipped", {nullptr, u"VPR"}, 1},
      {"case and length matter", {u"vpr", u"VPR ", u"VP"}, -1},
      {"no channels", {}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    host.data.titles = c.titles;
    Result(*device, 0);
    ASSERT_FALSE(host.Posted().empty());
    EXPECT_EQ(host.Posted().back().channel, c.channel);
  }
}

TEST_F(HostDocument, CommentIsDroppedWithoutItsPrerequisites) {
  struct Case {
    const char* what;
    void (*arrange)(FakeHost&, DuraSerial&);
  };
  const Case cases[] = {
      {"VPR disabled", [](FakeHost&, DuraSerial& d) { d.Channel(3)->enabled = false; }},
      {"no recording data", [](FakeHost& h, DuraSerial&) { h.document.data = nullptr; }},
      {"no comment interface", [](FakeHost& h, DuraSerial&) { h.data.answers.clear(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHost local;
    auto d = SamplingDevice(local);
    c.arrange(local, *d);
    Result(*d, 0);
    EXPECT_TRUE(local.Posted().empty());
    d.reset();
    EXPECT_EQ(local.Refs(), kAllReleased);
  }
}

TEST_F(HostDocument, StartKeepsTheDocumentAndReleasesEverythingElse) {
  EXPECT_EQ(host.Refs(), kDocumentHeld);
  Result(*device, 0);
  EXPECT_EQ(host.Posted().size(), 2u);
  EXPECT_EQ(host.Refs(), kDocumentHeld);  // a comment leaves no reference behind

  // A new start of sampling replaces the document and releases the old one.
  FakeDocument second;
  second.data = &host.data;
  host.active.answers = {{kIID_IHostDocument, &second}};
  device->StartSampling();
  EXPECT_EQ(host.document.refs, 1);
  EXPECT_EQ(second.refs, 2);
  device.reset();
  EXPECT_EQ(second.refs, 1);
}

TEST_F(HostDocument, AnyMissingStepLeavesNoDocument) {
  struct Case {
    const char* what;
    void (*arrange)(FakeHost&, DuraSerial&);
  };
  const Case cases[] = {
      {"no proxy", [](FakeHost&, DuraSerial& d) { d.SetControllingProxy(nullptr); }},
      {"no host object", [](FakeHost& h, DuraSerial&) { h.proxy.hostObject = nullptr; }},
      {"no application", [](FakeHost& h, DuraSerial&) { h.hostObject.answers.clear(); }},
      {"no active document", [](FakeHost& h, DuraSerial&) { h.application.active = nullptr; }},
      {"active object is no document", [](FakeHost& h, DuraSerial&) { h.active.answers.clear(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHost local;
    auto d = SamplingDevice(local);  // holds the document of this start
    c.arrange(local, *d);
    d->StartSampling();
    EXPECT_EQ(local.Refs(), kAllReleased);
    Reply(*d, SamplingReplies(true));
    Reply(*d, {Block(0, 2)});
    Result(*d, 0);  // comments are dropped without failing the line
    EXPECT_TRUE(local.Posted().empty());
  }
}

TEST_F(HostDocument, HostMayRestartSamplingFromInsideAComment) {
  FakeDocument second;
  second.data = &host.data;
  bool restarted = false;
  host.duringComment = [&] {
    if (std::exchange(restarted, true)) return;
    host.active.answers = {{kIID_IHostDocument, &second}};
    device->StartSampling();  // would deadlock were the comment posted under a lock of the device's
    EXPECT_GE(host.document.refs, 2);  // the document in use stays alive until the comment is done
  };
  Result(*device, 0);
  host.duringComment = nullptr;
  EXPECT_TRUE(restarted);
  EXPECT_EQ(host.document.refs, 1);
  EXPECT_EQ(second.refs, 2);
  device.reset();
  EXPECT_EQ(second.refs, 1);
}

TEST_F(HostDocument, CommentsRaceWithRestartsOfSampling) {
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    std::vector<std::string> cycle = SamplingReplies(true);
    cycle.insert(cycle.end(), {Block(0, 2), Block(98, 2), kResult});
    while (!stop.load()) Reply(*device, cycle);
  });
  bool stalled = false;
  for (int restarts = 0; restarts < 200 && !stalled; ++restarts) {
    const size_t seen = host.PostedCount();
    device->StartSampling();
    // The reader posts in between.
    for (long spins = 0; host.PostedCount() == seen && !stalled; ++spins) {
      stalled = spins > 100000000;
      std::this_thread::yield();
    }
  }
  stop = true;
  reader.join();
  EXPECT_FALSE(stalled);
  EXPECT_EQ(host.Refs(), kDocumentHeld);
}

}  // namespace
}  // namespace vyra
