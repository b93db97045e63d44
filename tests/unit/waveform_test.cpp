// Waveform uploads and cycle comments, driven directly on a branded device object with a
// fake host recording behind the controlling proxy.
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

#include "protocol/fields.h"
#include "serial/dura_serial.h"
#include "vyra/host_interfaces.h"

namespace vyra {
namespace {

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

  DuraSerial* device = nullptr;          // set to check the lock discipline during AddComment
  bool documentLockFreeDuringCall = true;
  std::function<void()> duringComment;   // runs inside AddComment
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
  if (host->device) {
    if (host->device->hostDocumentMutex.try_lock())
      host->device->hostDocumentMutex.unlock();
    else
      host->documentLockFreeDuringCall = false;
  }
  {
    std::lock_guard l(host->commentsMutex);
    host->posted.push_back({channel, position[0], position[1], text});
  }
  if (host->duringComment) host->duringComment();
  return 0;
}

const std::vector<int> kAllReleased = {1, 1, 1, 1, 1, 1, 1};
const std::vector<int> kDocumentHeld = {1, 1, 1, 1, 2, 1, 1};

std::vector<int32_t> Drain(ChannelRecord& channel) {
  std::vector<int32_t> values;
  while (channel.Buffered() > 0) {
    values.push_back(channel.Front());
    channel.PopFront();
  }
  return values;
}

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }
BVL::String Line(const std::string& s) { return BVL::String(Widen(s)); }

// "w5,<start>,v,v,..." with `count` values.
BVL::String Block(int start, int count, int value = 7) {
  std::string s = "w5," + std::to_string(start);
  for (int i = 0; i < count; ++i) s += "," + std::to_string(value);
  return Line(s);
}

// m line: diastolic f6, systolic f7, error f12, diastolic index f13, systolic index f14.
BVL::String Measurement(const std::string& dia, const std::string& sys, int error, int diaIndex, int sysIndex,
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
  return Line(s);
}

// A cycle start and its valid result: the two comments this would post.
void StartMeasurement(DuraSerial& d) {
  EXPECT_EQ(d.HandleWaveformLine(Block(0, 2)), kS_OK);
  EXPECT_EQ(d.HandleMeasurementLine(Measurement("72", "118", 0, 30, 25)), kS_OK);
}

class WaveformTest : public ::testing::Test {
 protected:
  static constexpr const char16_t* kBrandedId = u"FTDIBUS\\VID_0403+PID_6001+BVLVYRA0042A\\0000";

  void SetUp() override { device = MakeDevice(true); }

  std::unique_ptr<DuraSerial> MakeDevice(bool branded) {
    auto d = std::make_unique<DuraSerial>(u"/dev/ttyUSB0", branded ? kBrandedId : u"FTDIBUS\\VID_0403+PID_6001+X1A");
    d->channels.push_back(std::make_unique<ChannelRecord>(20000, 0, "systol", 300, 0, "mmHg"));
    d->channels.push_back(std::make_unique<ChannelRecord>(20000, 0, "diasto", 300, 0, "mmHg"));
    d->channels.push_back(std::make_unique<ChannelRecord>(20000, 0, "O-Cuff", 300, 0, "mmHg"));
    d->channels.push_back(std::make_unique<ChannelRecord>(20000, 0, "VPR", 300, 0, "mmHg"));
    d->cuffChannel = 2;
    d->vprChannel = 3;
    d->channelsReady = true;
    d->expectedWaveformValues = 100;
    d->controllingProxy = static_cast<IHostControllingProxy*>(&host.proxy);
    host.device = d.get();
    return d;
  }

  void TearDown() override {
    device->ReleaseHostDocument();
    EXPECT_EQ(host.Refs(), kAllReleased);
    EXPECT_TRUE(host.documentLockFreeDuringCall);
  }

  ChannelRecord& Cuff() { return *device->channels[2]; }
  ChannelRecord& Vpr() { return *device->channels[3]; }

  // One sample line as the sampling state sees it: the service step, then the line's count.
  void SampleLine() {
    device->ServiceWaveform();
    device->sampleLineBacklog += 1;
  }

  // Starts a cycle at `sampleCount` so positions show the cycle start.
  void StartCycleAt(int32_t sampleCount) {
    device->waveformSampleCount = sampleCount;
    ASSERT_EQ(device->HandleWaveformLine(Block(0, 2)), kS_OK);
    ASSERT_EQ(device->cycleStartSample, sampleCount);
  }

  FakeHost host;
  std::unique_ptr<DuraSerial> device;
};

// --- waveform information -----------------------------------------------------------------

TEST_F(WaveformTest, WaveformInfoNeedsTwelveFieldsAndReadsTheSecond) {
  EXPECT_EQ(device->ParseWaveformInfo(Line("WI5,1,480,3,4,5,6,7,8,9,10,11")), kS_OK);
  EXPECT_EQ(device->expectedWaveformValues, 480);
  EXPECT_EQ(device->ParseWaveformInfo(Line("WI5,1,250,3,4,5,6,7,8,9,10")), kE_FAIL);
  EXPECT_EQ(device->expectedWaveformValues, 480);
}

// --- waveform lines -----------------------------------------------------------------------

TEST_F(WaveformTest, OneLineAlternatesCuffAndVprAndFillsTwoSamplesPerValue) {
  EXPECT_EQ(device->HandleWaveformLine(Line("w5,0,10,20")), kS_OK);
  EXPECT_EQ(Drain(Cuff()), (std::vector<int32_t>{10, 10}));
  EXPECT_EQ(Drain(Vpr()), (std::vector<int32_t>{20, 20}));
  EXPECT_EQ(device->waveformSampleCount, 2);
  EXPECT_EQ(device->sampleLineBacklog, -2);
  EXPECT_TRUE(device->waveformInProgress);
  EXPECT_TRUE(device->cycleSeen);
}

TEST_F(WaveformTest, UploadCompletesOnTheBlockThatReachesTheExpectedCount) {
  device->waveformSampleCount = 30;
  device->HandleWaveformLine(Block(0, 40));
  EXPECT_TRUE(device->waveformInProgress);
  EXPECT_EQ(device->cycleStartSample, 30);
  device->HandleWaveformLine(Block(40, 40));
  EXPECT_TRUE(device->waveformInProgress);
  device->HandleWaveformLine(Block(80, 20));
  EXPECT_FALSE(device->waveformInProgress);
  EXPECT_EQ(device->cycleStartSample, 30);  // only the first block starts the cycle
  EXPECT_EQ(device->waveformSampleCount, 130);
  EXPECT_EQ(Cuff().Buffered(), 100);
  EXPECT_EQ(Vpr().Buffered(), 100);
  EXPECT_EQ(device->expectedWaveformValues, 100);
}

TEST_F(WaveformTest, BlockStartsThatDoNotComplete) {
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
    device->waveformInProgress = false;
    device->expectedWaveformValues = 100;
    device->HandleWaveformLine(Block(c.start, c.count));
    EXPECT_EQ(device->waveformInProgress, c.inProgress);
    EXPECT_EQ(device->expectedWaveformValues, c.expectedAfter);
  }
}

TEST_F(WaveformTest, LineWithoutBlockIndexIsIgnored) {
  const int64_t before = device->lastWaveformTime;
  EXPECT_EQ(device->HandleWaveformLine(Line("w5")), kS_OK);
  EXPECT_FALSE(device->waveformInProgress);
  EXPECT_FALSE(device->cycleSeen);
  EXPECT_EQ(device->lastWaveformTime, before);
}

// --- service step: zero fill and time-out -------------------------------------------------

TEST_F(WaveformTest, WithoutWaveformTheChannelsTrailSampleLinesByAtMostTwenty) {
  for (int i = 0; i < 21; ++i) SampleLine();
  EXPECT_EQ(Cuff().Buffered(), 0);
  SampleLine();  // the 22nd line pads the first zero
  EXPECT_EQ(Cuff().Buffered(), 1);
  for (int i = 0; i < 3; ++i) SampleLine();
  EXPECT_EQ(Drain(Cuff()), (std::vector<int32_t>(4, 0)));
  EXPECT_EQ(Drain(Vpr()), (std::vector<int32_t>(4, 0)));
  EXPECT_EQ(device->sampleLineBacklog, 21);
  EXPECT_EQ(device->waveformSampleCount, 4);
}

TEST_F(WaveformTest, StalledUploadPostsIncompleteOnceAndResumesZeroFill) {
  device->RefreshHostDocument();
  StartCycleAt(40);
  Drain(Cuff());
  device->sampleLineBacklog = 25;
  device->ServiceWaveform();  // within the time-out: no zero fill, no comment
  EXPECT_TRUE(device->waveformInProgress);
  EXPECT_EQ(device->sampleLineBacklog, 25);
  EXPECT_TRUE(host.Posted().empty());
  device->lastWaveformTime = NowMs() - 451;
  device->ServiceWaveform();
  EXPECT_FALSE(device->waveformInProgress);
  EXPECT_EQ(device->sampleLineBacklog, 20);
  EXPECT_EQ(Drain(Cuff()), (std::vector<int32_t>(5, 0)));
  device->ServiceWaveform();
  auto posted = host.Posted();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].text, u"error: incomplete waveform upload");
  EXPECT_EQ(posted[0].position, 40);
  EXPECT_EQ(posted[0].channel, 3);
  EXPECT_EQ(posted[0].record, 2);
}

TEST_F(WaveformTest, UnbrandedDeviceIgnoresEveryWaveformStep) {
  auto plain = MakeDevice(false);
  plain->RefreshHostDocument();
  plain->sampleLineBacklog = 30;
  plain->ServiceWaveform();
  EXPECT_EQ(plain->HandleWaveformLine(Line("w5,0,10,20")), kS_OK);
  EXPECT_EQ(plain->HandleMeasurementLine(Line("m,1,2")), kS_OK);
  EXPECT_EQ(plain->channels[2]->Buffered(), 0);
  EXPECT_EQ(plain->sampleLineBacklog, 30);
  EXPECT_EQ(plain->waveformSampleCount, 0);
  EXPECT_FALSE(plain->cycleSeen);
  EXPECT_TRUE(host.Posted().empty());
  plain->ReleaseHostDocument();
  host.device = device.get();
}

TEST_F(WaveformTest, SamplingStateFeedsSampleWaveformAndMeasurementLines) {
  device->RefreshHostDocument();
  device->parameterCount = 2;
  device->acquisitionState = kSampling;
  auto reply = [&](const std::string& s) { return device->HandleReply(s.data(), static_cast<int>(s.size())); };
  for (int i = 0; i < 25; ++i) ASSERT_EQ(reply("120,80"), kS_OK);
  EXPECT_EQ(device->sampleLineBacklog, 21);
  EXPECT_EQ(reply("w5,0,10,20"), kS_OK);
  EXPECT_EQ(Drain(Cuff()), (std::vector<int32_t>{0, 0, 0, 0, 0, 10, 10}));
  EXPECT_EQ(device->cycleStartSample, 5);
  std::string m = "m,0,0,0,0,0,72,118,0,0,0,0,0,1,2,0";
  EXPECT_EQ(reply(m), kS_OK);
  EXPECT_EQ(reply("m,0,0"), kE_FAIL);
  auto posted = host.Posted();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0].text, u"Systolic BP = 118 mmHg");
  EXPECT_EQ(posted[0].position, 5 + 4);
  EXPECT_EQ(posted[1].position, 5 + 2);
}

// --- measurement lines --------------------------------------------------------------------

TEST_F(WaveformTest, ValidResultPostsSystolicThenDiastolicAtDoubledIndices) {
  device->RefreshHostDocument();
  StartCycleAt(100);
  EXPECT_EQ(device->HandleMeasurementLine(Measurement("72", "118", 0, 30, 25)), kS_OK);
  auto posted = host.Posted();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0].text, u"Systolic BP = 118 mmHg");
  EXPECT_EQ(posted[0].position, 100 + 50);
  EXPECT_EQ(posted[1].text, u"Diastolic BP = 72 mmHg");
  EXPECT_EQ(posted[1].position, 100 + 60);
  for (const Comment& c : posted) {
    EXPECT_EQ(c.channel, 3);
    EXPECT_EQ(c.record, 2);
  }
  EXPECT_FALSE(device->waveformInProgress);
  EXPECT_EQ(device->expectedWaveformValues, 750);
}

TEST_F(WaveformTest, ErrorCodeAndMissingCycleGiveTheirNotes) {
  device->RefreshHostDocument();
  device->waveformSampleCount = 17;
  EXPECT_EQ(device->HandleMeasurementLine(Measurement("72", "118", 0, 30, 25)), kS_OK);
  StartCycleAt(60);
  EXPECT_EQ(device->HandleMeasurementLine(Measurement("72", "118", 4, 30, 25)), kS_OK);
  auto posted = host.Posted();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0].text, u"note: waveform cycle started prior to sampling");
  EXPECT_EQ(posted[0].position, 17);  // cycle start still 0
  EXPECT_EQ(posted[1].text, u"error: failed to calcuate BP values");
  EXPECT_EQ(posted[1].position, 60);
}

TEST_F(WaveformTest, ShortMeasurementFailsButStillEndsTheUpload) {
  device->RefreshHostDocument();
  StartCycleAt(0);
  EXPECT_EQ(device->HandleMeasurementLine(Measurement("72", "118", 0, 30, 25, 15)), kE_FAIL);
  EXPECT_FALSE(device->waveformInProgress);
  EXPECT_EQ(device->expectedWaveformValues, 750);
  EXPECT_TRUE(host.Posted().empty());
}

TEST_F(WaveformTest, SecondCutOffUploadDropsItsResult) {
  device->RefreshHostDocument();
  device->expectedWaveformValues = 750;
  StartCycleAt(0);
  EXPECT_EQ(device->HandleMeasurementLine(Measurement("72", "118", 0, 30, 25)), kS_OK);
  EXPECT_FALSE(device->waveformInProgress);
  EXPECT_TRUE(host.Posted().empty());
  // With no upload running the next result is posted.
  EXPECT_EQ(device->HandleMeasurementLine(Measurement("72", "118", 0, 30, 25)), kS_OK);
  EXPECT_EQ(host.Posted().size(), 2u);
}

// --- comment placement --------------------------------------------------------------------

TEST_F(WaveformTest, PositionFollowsTheHostSampleInterval) {
  struct Case {
    const char* what;
    double interval;
    bool fails;
    int32_t offset, cycleStart, period;
    int32_t position;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"interval equal to the period", 0.02, false, 50, 100, 20000, 150},
      {"host samples twice as fast", 0.01, false, 50, 100, 20000, 300},
      {"host samples slower, truncated", 0.03, false, 5, 0, 20000, 3},
      {"failed fetch keeps 1 s", 0.02, true, 100, 0, 20000, 2},
      {"zero interval unconverted", 0.0, false, 50, 100, 20000, 150},
      {"negative interval unconverted", -0.02, false, 50, 100, 20000, 150},
      {"NaN interval unconverted", std::nan(""), false, 50, 100, 20000, 150},
      {"infinite interval unconverted", inf, false, 50, 100, 20000, 150},
      {"huge factor saturates", 1e-12, false, 1000000, 0, 20000, std::numeric_limits<int32_t>::max()},
      {"huge negative saturates", 1e-12, false, -1000000, 0, 20000, std::numeric_limits<int32_t>::min()},
      {"sum beyond int32 saturates", 0.0, false, std::numeric_limits<int32_t>::max(), 10, 20000,
       std::numeric_limits<int32_t>::max()},
  };
  device->RefreshHostDocument();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    host.data.interval = c.interval;
    host.data.intervalFails = c.fails;
    device->cycleStartSample = c.cycleStart;
    Vpr().samplePeriod = c.period;
    const size_t before = host.Posted().size();
    device->PostComment(c.offset, BVL::String(u"x"));
    auto posted = host.Posted();
    ASSERT_EQ(posted.size(), before + 1);
    EXPECT_EQ(posted.back().position, c.position);
  }
}

// The host records at the period it last set; the records keep the period of their creation.
TEST_F(WaveformTest, PositionUsesThePeriodTheHostLastSet) {
  device->RefreshHostDocument();
  Vpr().samplePeriod = 20000;
  device->uploadPeriod = 1000;
  host.data.interval = 0.001;
  device->cycleStartSample = 100;
  device->PostComment(50, BVL::String(u"x"));
  auto posted = host.Posted();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted.back().position, 150);
}

TEST_F(WaveformTest, ChannelIsFoundByTheVprTitle) {
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
  device->RefreshHostDocument();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    host.data.titles = c.titles;
    device->PostComment(0, BVL::String(u"x"));
    ASSERT_FALSE(host.Posted().empty());
    EXPECT_EQ(host.Posted().back().channel, c.channel);
  }
}

TEST_F(WaveformTest, CommentIsDroppedWithoutItsPrerequisites) {
  struct Case {
    const char* what;
    void (*arrange)(FakeHost&, DuraSerial&);
  };
  const Case cases[] = {
      {"VPR disabled", [](FakeHost&, DuraSerial& d) { d.channels[3]->enabled = false; }},
      {"no recording data", [](FakeHost& h, DuraSerial&) { h.document.data = nullptr; }},
      {"no comment interface", [](FakeHost& h, DuraSerial&) { h.data.answers.clear(); }},
      {"no document", [](FakeHost&, DuraSerial& d) { d.ReleaseHostDocument(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHost local;
    auto d = MakeDevice(true);
    d->controllingProxy = static_cast<IHostControllingProxy*>(&local.proxy);
    local.device = d.get();
    d->RefreshHostDocument();
    c.arrange(local, *d);
    StartMeasurement(*d);
    EXPECT_TRUE(local.Posted().empty());
    d->ReleaseHostDocument();
    EXPECT_EQ(local.Refs(), kAllReleased);
  }
  host.device = device.get();
}

// --- host document ------------------------------------------------------------------------

TEST_F(WaveformTest, RefreshKeepsTheDocumentAndReleasesEverythingElse) {
  device->RefreshHostDocument();
  EXPECT_EQ(device->hostDocument, static_cast<IHostDocument*>(&host.document));
  EXPECT_EQ(host.Refs(), kDocumentHeld);
  StartCycleAt(0);
  device->HandleMeasurementLine(Measurement("72", "118", 0, 30, 25));
  EXPECT_EQ(host.Posted().size(), 2u);
  EXPECT_EQ(host.Refs(), kDocumentHeld);  // a comment leaves no reference behind

  // A new start of sampling replaces the document and releases the old one.
  FakeDocument second;
  second.data = &host.data;
  host.active.answers = {{kIID_IHostDocument, &second}};
  device->RefreshHostDocument();
  EXPECT_EQ(device->hostDocument, static_cast<IHostDocument*>(&second));
  EXPECT_EQ(host.document.refs, 1);
  EXPECT_EQ(second.refs, 2);
  device->ReleaseHostDocument();
  EXPECT_EQ(second.refs, 1);
}

TEST_F(WaveformTest, AnyMissingStepLeavesNoDocument) {
  struct Case {
    const char* what;
    void (*arrange)(FakeHost&, DuraSerial&);
  };
  const Case cases[] = {
      {"no proxy", [](FakeHost&, DuraSerial& d) { d.controllingProxy = nullptr; }},
      {"no host object", [](FakeHost& h, DuraSerial&) { h.proxy.hostObject = nullptr; }},
      {"no application", [](FakeHost& h, DuraSerial&) { h.hostObject.answers.clear(); }},
      {"no active document", [](FakeHost& h, DuraSerial&) { h.application.active = nullptr; }},
      {"active object is no document", [](FakeHost& h, DuraSerial&) { h.active.answers.clear(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHost local;
    auto d = MakeDevice(true);
    d->controllingProxy = static_cast<IHostControllingProxy*>(&local.proxy);
    local.device = d.get();
    d->RefreshHostDocument();  // a document from an earlier start is released
    c.arrange(local, *d);
    d->RefreshHostDocument();
    EXPECT_EQ(d->hostDocument, nullptr);
    EXPECT_EQ(local.Refs(), kAllReleased);
    StartMeasurement(*d);  // comments are dropped without failing the line
    EXPECT_TRUE(local.Posted().empty());
  }
  host.device = device.get();
}

TEST_F(WaveformTest, HostMayRestartSamplingFromInsideAComment) {
  device->RefreshHostDocument();
  FakeDocument second;
  second.data = &host.data;
  host.duringComment = [&] {
    host.active.answers = {{kIID_IHostDocument, &second}};
    device->RefreshHostDocument();  // would deadlock if the comment held the document lock
    // The document in use stays alive until the comment is done.
    EXPECT_GE(host.document.refs, 2);
  };
  device->PostComment(0, BVL::String(u"x"));
  host.duringComment = nullptr;
  EXPECT_EQ(host.document.refs, 1);
  EXPECT_EQ(device->hostDocument, static_cast<IHostDocument*>(&second));
  device->ReleaseHostDocument();
  EXPECT_EQ(second.refs, 1);
}

TEST_F(WaveformTest, CommentsRaceWithRestartsOfSampling) {
  device->RefreshHostDocument();
  host.device = nullptr;  // the refreshing thread may hold the lock while a comment runs
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) device->PostComment(0, BVL::String(u"x"));
  });
  // Keep restarting until the reader has posted a fair number of comments in between.
  for (int i = 0; i < 100000 && (i < 200 || host.Posted().size() < 50); ++i) device->RefreshHostDocument();
  stop = true;
  reader.join();
  EXPECT_GE(host.Posted().size(), 50u);
  EXPECT_EQ(host.Refs(), kDocumentHeld);
}

}  // namespace
}  // namespace vyra
