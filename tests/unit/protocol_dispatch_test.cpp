#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "serial/dura_serial.h"
#include "support/dura_serial_access.h"

namespace vyra {
namespace {

constexpr const char16_t* kBrandedId = u"FTDIBUS\\VID_0403+PID_6001+BVLVYRA0042A\\0000";
constexpr const char16_t* kPlainId = u"FTDIBUS\\VID_0403+PID_6001+Z800123A\\0000";

class ProtocolDispatch : public ::testing::Test {
 protected:
  void Make(bool branded) {
    sent.clear();
    device = std::make_unique<DuraSerial>(u"/dev/null-protocol-test", branded ? kBrandedId : kPlainId);
    device->commandObserver = [this](std::string_view frame) { sent.emplace_back(frame); };
  }
  HResult Feed(const std::string& line) { return device->HandleReply(line.data(), static_cast<int>(line.size())); }
  int32_t State() const { return device->acquisitionState.load(); }
  std::vector<std::string> TakeSent() { return std::exchange(sent, {}); }

  // Runs the description part of the handshake from state 5.
  void Describe(const std::string& params, const std::string& names, const std::string& units,
                const std::string& maxima, const std::string& minima) {
    ASSERT_EQ(State(), kAwaitParameters);
    Feed("F");
    Feed(params);
    ASSERT_EQ(State(), kAwaitUploadRates);
    Feed("0.02,0.1,EndOfCycle,1");
    ASSERT_EQ(State(), kAwaitUploadEcho);
    Feed("U");
    Feed("I");
    Feed(names);
    Feed(units);
    Feed(maxima);
    ASSERT_EQ(Feed(minima), kS_OK);
    ASSERT_EQ(State(), kReady);
  }

  std::unique_ptr<DuraSerial> device;
  std::vector<std::string> sent;
};

using Frames = std::vector<std::string>;

TEST_F(ProtocolDispatch, PlainHandshakeRunsToReady) {
  Make(false);
  device->acquisitionState = kAwaitStart;  // Initialise has sent "S"
  Feed("S");
  EXPECT_EQ(State(), kAwaitVersion);
  Feed("V,2,1,0,1,Capno");
  EXPECT_EQ(State(), kAwaitParameters);
  EXPECT_EQ(TakeSent(), (Frames{":V\n", ":F\n"}));
  Describe("Time,systol,diasto", "Time,systol,diasto", "s,mmHg,mmHg", "100,300.00,300", "0,0,0");
  EXPECT_EQ(TakeSent(), (Frames{":U111\n", ":I\n"}));
  EXPECT_EQ(device->parameterCount.load(), 3u);
  EXPECT_EQ(device->ChannelCount(), 2);
  EXPECT_TRUE(device->hasTimeColumn.load());
  EXPECT_EQ(device->uploadRates.size(), 3u);
  EXPECT_EQ(device->DeviceName(), "Capno");
  EXPECT_EQ(device->FirmwareVersion(), "2.1.0.1");
  EXPECT_EQ(device->FirmwareLevel(), "1");
  EXPECT_EQ(DuraSerialTestAccess::ChannelUnitsLine(*device).View(), u"s,mmHg,mmHg");

  ASSERT_TRUE(device->StartSampling());
  EXPECT_EQ(State(), kAwaitBeginEcho);
  Feed("B");
  EXPECT_EQ(State(), kSampling);
  ASSERT_TRUE(device->StopSampling());
  EXPECT_EQ(State(), kAwaitStopEcho);
  Feed("S");
  EXPECT_EQ(State(), kReady);
  EXPECT_EQ(TakeSent(), (Frames{":B\n", ":S\n"}));
}

TEST_F(ProtocolDispatch, BrandedHandshakeAndSamplingCycle) {
  Make(true);
  device->acquisitionState = kAwaitStart;
  Feed("S");
  EXPECT_EQ(State(), kAwaitModeEcho);
  Feed("WN5");
  EXPECT_EQ(State(), kAwaitVersion);
  Feed("V,1,0,3,1,VYRA,x,BVL");
  EXPECT_EQ(State(), kAwaitBrandEcho);
  Feed("A");
  EXPECT_EQ(TakeSent(), (Frames{":WN5\n", ":V\n", ":BvL\n", ":F\n"}));
  Describe("systol,diasto,HR", "systol,diasto,HR", "mmHg,mmHg,bpm", "300,300,900", "0,0,0");
  EXPECT_EQ(device->ChannelCount(), 5);
  EXPECT_EQ(device->DeviceName(), "Brinvale VYRA");
  EXPECT_TRUE(device->ErrorText().IsEmpty());
  TakeSent();

  device->sampleLineBacklog = 9;
  device->cycleSeen = true;
  ASSERT_TRUE(device->StartSampling());
  EXPECT_EQ(State(), kAwaitWaveformInfo);
  EXPECT_EQ(device->sampleLineBacklog.load(), 0);
  EXPECT_FALSE(device->cycleSeen.load());
  Feed("B");  // not the awaited reply
  EXPECT_EQ(State(), kAwaitWaveformInfo);
  Feed("WI5,0,800,0,0,0,0,0,0,0,0,0");
  EXPECT_EQ(State(), kAwaitBeginEcho);
  Feed("B");
  EXPECT_EQ(State(), kAwaitWaveformEcho);
  Feed("WA5");
  EXPECT_EQ(State(), kSampling);
  Feed("120,80,400");
  EXPECT_EQ(device->Channel(0)->Buffered(), 1);
  EXPECT_EQ(device->Channel(3)->Buffered(), 0);  // waveform channels are not sample-line channels

  ASSERT_TRUE(device->StopSampling());
  EXPECT_EQ(State(), kAwaitModeEchoOnStop);
  Feed("S");  // the plain stop echo is not awaited here
  EXPECT_EQ(State(), kAwaitModeEchoOnStop);
  Feed("WN5");
  EXPECT_EQ(State(), kAwaitStopEcho);
  Feed("S");
  EXPECT_EQ(State(), kReady);
  EXPECT_EQ(TakeSent(), (Frames{":WI5\n", ":B\n", ":WA5\n", ":WN5\n", ":S\n"}));
}

TEST_F(ProtocolDispatch, UnexpectedLinesChangeNothing) {
  struct Case {
    int32_t state;
    bool branded;
    const char* line;
  } cases[] = {
      {kCreated, false, "S"},     {kReady, false, "S"},       {kReady, true, "WN5"},
      {kAwaitStart, false, "s"},  {kAwaitStart, false, ""},   {kAwaitModeEcho, true, "WN"},
      {kAwaitModeEcho, true, "W N5"}, {kAwaitVersion, false, "v,1,2,3,1"}, {kAwaitBrandEcho, true, "a"},
      {kAwaitParameters, false, "a,b,c"}, {kAwaitUploadEcho, false, "I"}, {kAwaitChannelNames, false, "a,b"},
      {kAwaitWaveformInfo, true, "WI"}, {kAwaitBeginEcho, false, "b"}, {kAwaitWaveformEcho, true, "WA"},
      {kAwaitModeEchoOnStop, true, "WN"}, {kAwaitStopEcho, false, "X"},
  };
  for (const Case& c : cases) {
    Make(c.branded);
    device->acquisitionState = c.state;
    EXPECT_EQ(Feed(c.line), kS_OK) << c.state << " '" << c.line << "'";
    EXPECT_EQ(State(), c.state) << c.state << " '" << c.line << "'";
    EXPECT_TRUE(sent.empty()) << c.state << " '" << c.line << "'";
    EXPECT_FALSE(device->listFollows);
  }
}

TEST_F(ProtocolDispatch, ParameterCountIsOnePlusTheCommas) {
  struct Case {
    const char* line;
    uint32_t count;
  } cases[] = {{"a,b,,d", 4}, {"", 1}, {"a", 1}, {",", 2}, {"Time,a,b,c,", 5}};
  for (const Case& c : cases) {
    Make(false);
    device->acquisitionState = kAwaitParameters;
    Feed("F");
    Feed(c.line);
    EXPECT_EQ(device->parameterCount.load(), c.count) << c.line;
    EXPECT_EQ(State(), kAwaitUploadRates);
  }
}

TEST_F(ProtocolDispatch, ParameterListBeginningWithFIsTakenForTheEcho) {
  Make(false);
  device->acquisitionState = kAwaitParameters;
  Feed("F");
  Feed("Flow,PEEP");
  EXPECT_EQ(State(), kAwaitParameters);
  Feed("Press,PEEP,RR");
  EXPECT_EQ(State(), kAwaitUploadRates);
  EXPECT_EQ(device->parameterCount.load(), 3u);
}

TEST_F(ProtocolDispatch, UploadSelectionIsSentWholeWhenItOutgrowsTheFrame) {
  for (uint32_t n : {1u, 26u, 27u, 40u}) {
    Make(false);
    device->acquisitionState = kAwaitUploadRates;
    device->parameterCount = n;
    Feed("0.02");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], ":U" + std::string(n, '1') + "\n");
    EXPECT_EQ(sent[0].size(), n + 3);  // 26 parameters: 29 bytes, the most the frame holds
    EXPECT_EQ(State(), kAwaitUploadEcho);
  }
  Make(false);
  device->SendCommand("P100");
  device->SendCommand(std::string(100, 'x'));
  EXPECT_EQ(TakeSent(), (Frames{":P100\n", ":" + std::string(100, 'x') + "\n"}));
}

TEST_F(ProtocolDispatch, RefusedIdentificationAndFailedBuildKeepTheirState) {
  Make(false);
  device->acquisitionState = kAwaitVersion;
  EXPECT_EQ(Feed("V,1,2,3"), kE_FAIL);
  EXPECT_EQ(State(), kAwaitVersion);
  EXPECT_EQ(Feed("V,1,2,3,1,VYRA"), kE_FAIL);
  EXPECT_EQ(State(), kAwaitVersion);
  EXPECT_TRUE(sent.empty());

  Make(false);
  device->acquisitionState = kAwaitChannelNames;
  Feed("I");
  Feed("a,b");
  Feed("u,u");
  Feed("1,2");
  const uint32_t seen = device->HostSequence();
  EXPECT_EQ(Feed("0"), kE_FAIL);  // one minimum for two channels
  EXPECT_EQ(State(), kAwaitChannelMinima);
  // The stored line completes the description: a host command waiting for it is woken.
  EXPECT_NE(device->HostSequence(), seen);
  EXPECT_FALSE(device->ChannelsReady());
  EXPECT_EQ(Feed("0,-1"), kS_OK);  // a further line replaces the minima
  EXPECT_EQ(State(), kReady);
  EXPECT_EQ(device->Channel(1)->minimum, -1);
  EXPECT_EQ(DuraSerialTestAccess::ChannelMinimaLine(*device).View(), u"0,-1");
}

TEST_F(ProtocolDispatch, HostStateChangeIsNotOverwrittenByALateTransition) {
  // A host thread sets the state (start of sampling) while the reader thread is between
  // sending its command and moving the state on: the host's setting stands.
  Make(false);
  device->commandObserver = [this](std::string_view) { device->acquisitionState = kAwaitBeginEcho; };
  device->acquisitionState = kAwaitStart;
  Feed("S");  // sends "V" (the observer plays the host) and would move to 3
  EXPECT_EQ(State(), kAwaitBeginEcho);
}

// ---- identification -------------------------------------------------------------------

TEST_F(ProtocolDispatch, IdentificationDecidesByModelBrandAndMark) {
  const std::u16string missing = u"Brinvale VYRA failed to report itself as an Brinvale VYRA.";
  const std::u16string reported = u"Dura VYRA reported as Brinvale VYRA. Dura VYRA is not supported by Vellumar.";
  const std::u16string plain = u"Dura VYRA Monitor is not supported by Vellumar.";
  struct Case {
    bool branded;
    const char16_t* reply;
    HResult result;
    std::u16string error;
    std::string name;
  } cases[] = {
      {true, u"V,1,0,3,1,VYRA,x,BVL", kS_OK, u"", "Brinvale VYRA"},
      {true, u"V,1,0,3,1,VYRA,x", kS_OK, missing, "Brinvale VYRA"},
      {false, u"V,1,0,3,1,VYRA,x,BVL", kE_FAIL, reported, "VYRA"},
      {false, u"V,1,0,3,1,VYRA,x,BVL2", kE_FAIL, plain, "VYRA"},
      {true, u"V,1,0,3,1,Capno,x,BVL", kS_OK, u"", "Brinvale VYRA"},
      {true, u"V,1,0,3,1,Capno,x, BVL", kS_OK, missing, "Brinvale VYRA"},
      {false, u"V,1,0,3,1,Capno,x,BVL", kS_OK, u"", "Capno"},
      {false, u"V,1,0,3,1,vyra", kS_OK, u"", "vyra"},
      {false, u"V,1,0,3,1", kS_OK, u"", "Unknown Dura Device"},
      {false, u"V,1,0,3,1,VYRA ", kS_OK, u"", "VYRA "},
  };
  for (const Case& c : cases) {
    Make(c.branded);
    std::string label(c.reply, c.reply + std::char_traits<char16_t>::length(c.reply));
    EXPECT_EQ(device->IdentifyDevice(c.reply), c.result) << label;
    EXPECT_EQ(device->ErrorText().View(), c.error) << label;
    EXPECT_EQ(device->DeviceName(), c.name) << label;
    EXPECT_EQ(device->FirmwareVersion(), "1.0.3.1") << label;
  }
}

TEST_F(ProtocolDispatch, ShortVersionReplyStoresNothing) {
  Make(true);
  DuraSerialTestAccess::SetIdentity(*device, "before", "9.9", "9");
  EXPECT_EQ(device->IdentifyDevice(u"V,1,0,3"), kE_FAIL);
  EXPECT_EQ(device->DeviceName(), "before");
  EXPECT_EQ(device->FirmwareLevel(), "9");
  EXPECT_TRUE(device->ErrorText().IsEmpty());
}

TEST_F(ProtocolDispatch, RefusalsAreLoggedWithTheirMarker) {
  char path[] = "/tmp/vyra-protocol-log-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  setenv("VYRA_LOG", path, 1);
  Make(false);
  device->acquisitionState = kAwaitVersion;
  Feed("V,1,0,3,1,VYRA");
  Feed("V,1");
  unsetenv("VYRA_LOG");
  std::stringstream log;
  log << std::ifstream(path).rdbuf();
  std::remove(path);
  EXPECT_NE(log.str().find(": version: V,1,0,3,1,VYRA\n"), std::string::npos) << log.str();
  EXPECT_NE(log.str().find(": !!! Dura VYRA Monitor is not supported by Vellumar.\n"), std::string::npos);
  EXPECT_NE(log.str().find(": !!! version reply smaller than expected, bailing...\n"), std::string::npos);
}

// ---- sample lines ---------------------------------------------------------------------

class ProtocolSamples : public ProtocolDispatch {
 protected:
  void Sampling(bool branded, const char16_t* names, const char16_t* maxima, const char16_t* minima,
                uint32_t parameters) {
    Make(branded);
    std::u16string units(names);
    for (char16_t& c : units)
      if (c != u',') c = u'u';
    DuraSerialTestAccess::SetDescription(*device, names, units.c_str(), maxima, minima);
    ASSERT_TRUE(device->BuildChannels());
    device->parameterCount = parameters;
    device->acquisitionState = kSampling;
  }
  std::vector<int32_t> Values(int channel) {
    std::vector<int32_t> out;
    ChannelRecord* r = device->Channel(channel);
    while (r->Buffered() > 0) {
      out.push_back(r->Front());
      r->PopFront();
    }
    return out;
  }
  using V = std::vector<int32_t>;
};

TEST_F(ProtocolSamples, TimeColumnIsSkippedAndFieldsGoToChannelsInOrder) {
  Sampling(false, u"Time,a,b", u"9,100,100.0", u"0,-100,-100", 3);
  Feed("12.5,1,2");
  Feed("13,-3.25,2.25");
  EXPECT_EQ(Values(0), (V{1, -3}));
  EXPECT_EQ(Values(1), (V{20, 22}));  // 2.25 to the nearest 1/100, then cut to 1/10
  EXPECT_EQ(device->sampleLineBacklog.load(), 2);
}

TEST_F(ProtocolSamples, WrongFieldCountIsIgnoredAndNotCounted) {
  Sampling(false, u"a,b", u"100,100", u"0,0", 2);
  for (const char* line : {"1", "1,2,3", "1,2,,", ""}) Feed(line);
  EXPECT_EQ(device->sampleLineBacklog.load(), 0);
  EXPECT_EQ(device->Channel(0)->Buffered(), 0);
  Feed("1,2,");  // a trailing comma adds no field
  EXPECT_EQ(Values(1), V{2});
  EXPECT_EQ(device->sampleLineBacklog.load(), 1);
}

TEST_F(ProtocolSamples, StarRepeatsAndTextReadsAsZeroClamped) {
  Sampling(false, u"a,b", u"100,100", u"10,-5", 2);
  Feed("*,*");
  Feed("42,x");
  Feed("*,7");
  Feed("**,*");  // only a lone star repeats
  EXPECT_EQ(Values(0), (V{0, 42, 42, 10}));
  EXPECT_EQ(Values(1), (V{0, 0, 7, 7}));
}

TEST_F(ProtocolSamples, WaveformAndMeasurementLinesAreNotSamples) {
  Sampling(false, u"a", u"100", u"0", 1);
  Feed("w5,0,1,2");
  Feed("m");
  Feed("m5");
  EXPECT_EQ(device->Channel(0)->Buffered(), 0);
  EXPECT_EQ(device->sampleLineBacklog.load(), 0);
  Feed("w");  // a lone w is a sample line reading 0
  Feed("5");
  EXPECT_EQ(Values(0), (V{0, 5}));
  EXPECT_EQ(device->sampleLineBacklog.load(), 2);
}

TEST_F(ProtocolSamples, FieldsBeyondTheDescribedChannelsAreIgnored) {
  // Four data fields, two described channels, and the waveform channels behind them.
  Sampling(true, u"Time,a,b", u"1,100,100", u"0,0,0", 5);
  Feed("0,1,2,3,4");
  EXPECT_EQ(Values(0), V{1});
  EXPECT_EQ(Values(1), V{2});
  EXPECT_EQ(device->Channel(2)->Buffered(), 0);  // O-Cuff
  EXPECT_EQ(device->Channel(3)->Buffered(), 0);  // VPR
  EXPECT_EQ(device->sampleLineBacklog.load(), 1);

  Sampling(false, u"a", u"100", u"0", 3);
  Feed("1,2,3");
  EXPECT_EQ(Values(0), V{1});
}

TEST_F(ProtocolSamples, NoChannelsMeansNothingIsStored) {
  Make(false);
  device->parameterCount = 2;
  device->acquisitionState = kSampling;
  EXPECT_EQ(Feed("1,2"), kS_OK);
  EXPECT_EQ(device->ChannelCount(), 0);
}

}  // namespace
}  // namespace vyra
