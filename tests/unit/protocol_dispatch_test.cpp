// The reply protocol line by line: which reply each state awaits, what it refuses, and how
// sample lines reach the channels. Whole sessions (every state and command of a handshake,
// start and stop) are the golden traces' part.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/dura_serial_access.h"
#include "support/recorded_core.h"

namespace vyra {
namespace {

using Lines = std::vector<std::string>;

// A session that passes every state; host requests are marked "!".
Lines Session(bool branded) {
  Lines s{"!begin"};
  for (const std::string& r : HandshakeReplies(branded, "a,b", "u,u", "100,100", "0,0")) s.push_back(r);
  s.push_back("!start");
  for (const std::string& r : SamplingReplies(branded)) s.push_back(r);
  s.insert(s.end(), {"1,2", "!stop"});
  if (branded) s.push_back("WN5");
  s.push_back("S");
  return s;
}

void Step(RecordedCore& r, const std::string& step) {
  if (step == "!begin") {
    r.core.BeginHandshake();
  } else if (step == "!start") {
    r.core.StartSampling();
  } else if (step == "!stop") {
    r.core.StopSampling();
  } else {
    r.Feed(step);
  }
}

// Runs the session until it first reaches `state`; returns the next step.
size_t Reach(RecordedCore& r, const Lines& session, int32_t state) {
  size_t i = 0;
  while (i < session.size() && r.core.State() != state) Step(r, session[i++]);
  EXPECT_EQ(r.core.State(), state);
  return i;
}

TEST(ProtocolDispatch, UnexpectedLinesChangeNothing) {
  struct Case {
    int32_t state;
    bool branded;
    const char* line;
  } cases[] = {
      {kCreated, false, "S"},         {kReady, false, "S"},           {kReady, true, "WN5"},
      {kAwaitStart, false, "s"},      {kAwaitStart, false, ""},       {kAwaitModeEcho, true, "WN"},
      {kAwaitModeEcho, true, "W N5"}, {kAwaitVersion, false, "v,1,2,3,1"}, {kAwaitBrandEcho, true, "a"},
      {kAwaitParameters, false, "a,b,c"}, {kAwaitUploadEcho, false, "I"}, {kAwaitChannelNames, false, "a,b"},
      {kAwaitWaveformInfo, true, "WI"}, {kAwaitWaveformInfo, true, "B"}, {kAwaitBeginEcho, false, "b"},
      {kAwaitWaveformEcho, true, "WA"}, {kAwaitModeEchoOnStop, true, "WN"}, {kAwaitModeEchoOnStop, true, "S"},
      {kAwaitStopEcho, false, "X"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.state << " '" << c.line << "'");
    const Lines session = Session(c.branded);
    RecordedCore reference(c.branded), probed(c.branded);
    const size_t next = Reach(probed, session, c.state);
    for (size_t i = 0; i < next; ++i) Step(reference, session[i]);
    const size_t sent = probed.sent.size();
    // Twice: a flag the first one set (a list said to follow) would show on the second.
    for (int k = 0; k < 2; ++k) {
      EXPECT_EQ(probed.Feed(c.line), kS_OK);
      EXPECT_EQ(probed.core.State(), c.state);
    }
    EXPECT_EQ(probed.sent.size(), sent);
    // The rest of the session goes as if the lines had never come.
    for (size_t i = next; i < session.size(); ++i) {
      Step(reference, session[i]);
      Step(probed, session[i]);
      EXPECT_EQ(probed.core.State(), reference.core.State()) << session[i];
    }
    EXPECT_EQ(probed.sent, reference.sent);
    EXPECT_EQ(probed.values, reference.values);
    EXPECT_EQ(probed.notes, reference.notes);
  }
}

TEST(ProtocolDispatch, ParameterCountIsOnePlusTheCommasAndSelectedWhole) {
  struct Case {
    std::string line;
    uint32_t count;
  } cases[] = {{"a,b,,d", 4}, {"", 1}, {"a", 1}, {",", 2}, {"Time,a,b,c,", 5},
               {std::string(25, ','), 26}, {std::string(26, ','), 27}, {std::string(39, ','), 40}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    RecordedCore r(false);
    Reach(r, Session(false), kAwaitParameters);
    r.TakeSent();
    r.Feed("F");
    r.Feed(c.line);
    EXPECT_EQ(r.core.ParameterCount(), c.count);
    EXPECT_EQ(r.core.State(), kAwaitUploadRates);
    r.Feed("0.02");
    // A command cut to the frame would select other parameters.
    EXPECT_EQ(r.TakeSent(), Lines{"U" + std::string(c.count, '1')});
    EXPECT_EQ(r.core.State(), kAwaitUploadEcho);
  }
}

TEST(ProtocolDispatch, ParameterListBeginningWithFIsTakenForTheEcho) {
  RecordedCore r(false);
  Reach(r, Session(false), kAwaitParameters);
  r.Feed("F");
  r.Feed("Flow,PEEP");
  EXPECT_EQ(r.core.State(), kAwaitParameters);
  r.Feed("Press,PEEP,RR");
  EXPECT_EQ(r.core.State(), kAwaitUploadRates);
  EXPECT_EQ(r.core.ParameterCount(), 3u);
}

TEST(ProtocolDispatch, DeviceFramesEveryCommandWhole) {
  DuraSerial d(u"/dev/null-protocol-test", u"FTDIBUS\\VID_0403+PID_6001+Z800123A\\0000");
  DuraSerialTestAccess::AcceptCommands(d);
  d.timing.closeSettleMs = 0;
  Lines frames;
  d.commandObserver = [&](std::string_view f) { frames.emplace_back(f); };
  // 30 characters fill the device's frame with its terminator; longer ones still go whole.
  const Lines texts{"P100", std::string(30, 'U'), std::string(31, 'U'), std::string(100, 'x')};
  for (const std::string& t : texts) EXPECT_TRUE(d.SendCommand(t));
  ASSERT_EQ(frames.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(frames[i], ":" + texts[i] + "\n");
}

TEST(ProtocolDispatch, RefusedIdentificationKeepsItsStateAndIsLogged) {
  RecordedCore r(false);
  Reach(r, Session(false), kAwaitVersion);
  r.TakeSent();
  EXPECT_EQ(r.Feed("V,1,2,3"), kE_FAIL);
  EXPECT_EQ(r.core.State(), kAwaitVersion);
  EXPECT_EQ(r.Feed("V,1,0,3,1,VYRA"), kE_FAIL);
  EXPECT_EQ(r.core.State(), kAwaitVersion);
  EXPECT_TRUE(r.sent.empty());
  EXPECT_EQ(r.notes, (Lines{"version: V,1,2,3", "!!! version reply smaller than expected, bailing...",
                            "version: V,1,0,3,1,VYRA", "!!! Dura VYRA Monitor is not supported by Vellumar."}));
}

// ---- identification -------------------------------------------------------------------

TEST(ProtocolDispatch, IdentificationDecidesByModelBrandAndMark) {
  const std::u16string missing = u"Brinvale VYRA failed to report itself as an Brinvale VYRA.";
  const std::u16string reported = u"Dura VYRA reported as Brinvale VYRA. Dura VYRA is not supported by Vellumar.";
  const std::u16string plain = u"Dura VYRA Monitor is not supported by Vellumar.";
  struct Case {
    bool branded;
    const char* reply;
    HResult result;
    std::u16string error;
    std::string name;
  } cases[] = {
      {true, "V,1,0,3,1,VYRA,x,BVL", kS_OK, u"", "Brinvale VYRA"},
      {true, "V,1,0,3,1,VYRA,x", kS_OK, missing, "Brinvale VYRA"},
      {false, "V,1,0,3,1,VYRA,x,BVL", kE_FAIL, reported, "VYRA"},
      {false, "V,1,0,3,1,VYRA,x,BVL2", kE_FAIL, plain, "VYRA"},
      {true, "V,1,0,3,1,Capno,x,BVL", kS_OK, u"", "Brinvale VYRA"},
      {true, "V,1,0,3,1,Capno,x, BVL", kS_OK, missing, "Brinvale VYRA"},
      {false, "V,1,0,3,1,Capno,x,BVL", kS_OK, u"", "Capno"},
      {false, "V,1,0,3,1,vyra", kS_OK, u"", "vyra"},
      {false, "V,1,0,3,1", kS_OK, u"", "Unknown Dura Device"},
      {false, "V,1,0,3,1,VYRA ", kS_OK, u"", "VYRA "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    RecordedCore r(c.branded);
    Reach(r, Session(c.branded), kAwaitVersion);
    EXPECT_EQ(r.Feed(c.reply), c.result);
    EXPECT_EQ(r.core.ErrorText().View(), c.error);
    EXPECT_EQ(r.core.DeviceName(), c.name);
    EXPECT_EQ(r.core.FirmwareVersion(), "1.0.3.1");
    EXPECT_EQ(r.core.FirmwareLevel(), "1");
  }
}

TEST(ProtocolDispatch, ShortVersionReplyStoresNothing) {
  RecordedCore r(true);
  r.core.BeginHandshake();
  r.FeedAll(HandshakeReplies(true, "a", "u", "1", "0", "V,2,3,7,9,VYRA,0,BVL"));
  ASSERT_EQ(r.core.State(), kReady);
  r.core.BeginHandshake();  // a second handshake whose version reply is cut short
  r.FeedAll({"S", "WN5"});
  EXPECT_EQ(r.Feed("V,1,0,3"), kE_FAIL);
  EXPECT_EQ(r.core.State(), kAwaitVersion);
  EXPECT_EQ(r.core.DeviceName(), "Brinvale VYRA");
  EXPECT_EQ(r.core.FirmwareVersion(), "2.3.7.9");
  EXPECT_EQ(r.core.FirmwareLevel(), "9");
  EXPECT_TRUE(r.core.ErrorText().IsEmpty());
}

// ---- sample lines ---------------------------------------------------------------------

using V = std::vector<int32_t>;

TEST(ProtocolSamples, TimeColumnIsSkippedAndFieldsGoToChannelsInOrder) {
  auto r = Sampling(false, "Time,a,b", "9,100,100.0", "0,-100,-100");
  r->Feed("12.5,1,2");
  r->Feed("13,-3.25,2.25");
  EXPECT_EQ(r->TakeValues(0), (V{1, -3}));
  EXPECT_EQ(r->TakeValues(1), (V{20, 22}));  // 2.25 to the nearest 1/100, then cut to 1/10
}

TEST(ProtocolSamples, WrongFieldCountIsIgnoredAndNotCounted) {
  // Branded, so the count shows: the waveform channels are padded once 20 lines are counted.
  auto r = Sampling(true, "a,b", "100,100", "0,0");
  for (int i = 0; i < 20; ++i) r->Feed("5,6");
  r->values.assign(r->values.size(), {});
  for (const char* line : {"1", "1,2,3", "1,2,,", ""}) r->Feed(line);
  EXPECT_EQ(r->values, (std::vector<V>{{}, {}, {}, {}}));
  r->Feed("1,2,");  // a trailing comma adds no field
  EXPECT_EQ(r->TakeValues(1), V{2});
  EXPECT_TRUE(r->TakeValues(2).empty());
  r->Feed("1,2");  // the 22nd counted line pads
  EXPECT_EQ(r->TakeValues(2), V{0});
}

TEST(ProtocolSamples, StarRepeatsAndTextReadsAsZeroClamped) {
  auto r = Sampling(false, "a,b", "100,100", "10,-5");
  r->FeedAll({"*,*", "42,x", "*,7", "**,*"});  // only a lone star repeats
  EXPECT_EQ(r->TakeValues(0), (V{0, 42, 42, 10}));
  EXPECT_EQ(r->TakeValues(1), (V{0, 0, 7, 7}));
  // The line as text ends at a NUL: what follows it is not a field.
  r->Feed(std::string_view("30,4\0,9", 7));
  r->Feed(std::string_view("\0" "50,6", 5));
  r->Feed(std::string_view("80,9\0", 5));
  EXPECT_EQ(r->TakeValues(0), (V{30, 80}));
  EXPECT_EQ(r->TakeValues(1), (V{4, 9}));
}

TEST(ProtocolSamples, WaveformAndMeasurementLinesAreNotSamples) {
  auto r = Sampling(false, "a", "100", "0");
  r->FeedAll({"m", "m5"});
  EXPECT_TRUE(r->TakeValues(0).empty());
  r->FeedAll({"w", "5"});  // a lone w is a sample line reading 0
  EXPECT_EQ(r->TakeValues(0), (V{0, 5}));
  auto four = Sampling(false, "a,b,c,d", "100,100,100,100", "0,0,0,0");
  four->Feed("w5,0,1,2");
  EXPECT_EQ(four->values, (std::vector<V>{{}, {}, {}, {}}));
}

TEST(ProtocolSamples, FieldsBeyondTheDescribedChannelsAreIgnored) {
  // Four data fields, two described channels, and the waveform channels behind them.
  auto r = Sampling(true, "Time,a,b", "1,100,100", "0,0,0", "t,a,b,c,d");
  r->Feed("0,1,2,3,4");
  EXPECT_EQ(r->values, (std::vector<V>{{1}, {2}, {}, {}}));

  auto plain = Sampling(false, "a", "100", "0", "a,b,c");
  plain->Feed("1,2,3");
  EXPECT_EQ(plain->values, std::vector<V>{{1}});
}

TEST(ProtocolSamples, NoChannelsMeansNothingIsStored) {
  RecordedCore r(false);
  r.core.BeginHandshake();
  r.FeedAll(HandshakeReplies(false, "a,b", "u,u", "1,1", "0"));  // one minimum: no channel list
  ASSERT_FALSE(r.core.ChannelsReady());
  r.core.StartSampling();
  r.Feed("B");
  ASSERT_EQ(r.core.State(), kSampling);
  EXPECT_EQ(r.Feed("1,2"), kS_OK);
  EXPECT_TRUE(r.values.empty());
}

}  // namespace
}  // namespace vyra
