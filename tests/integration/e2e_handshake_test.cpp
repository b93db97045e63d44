// Handshake and host commands through the exports against a simulated monitor.
#include <algorithm>
#include <atomic>
#include <future>

#include "integration/e2e_fixture.h"

namespace e2e {
namespace {

using vyra::sim::Profile;

struct SessionCase {
  const char* label;
  Profile profile;
  const char* serial;    // USB serial: the identifier discovery matches
  const char* hostText;  // what the host asks FindDevice for
  bool branded;
  const char* model;       // code 0
  const char* maker;       // code 2
  const char* serialDigits;  // code 4, taken from the by-id path
  std::vector<std::string> handshake, start, stop;  // commands the monitor receives
  friend void PrintTo(const SessionCase& c, std::ostream* os) { *os << c.label; }
};

class E2eSession : public E2eTest, public ::testing::WithParamInterface<SessionCase> {};

// One device session per profile: handshake, every answered code, sampling on and off.
TEST_P(E2eSession, HandshakeChannelsAndCommandsThroughTheExports) {
  const SessionCase& c = GetParam();
  vyra::sim::Options options;
  options.profile = c.profile;
  vyra::sim::TreePort port;
  port.serial = c.serial;
  auto& monitor = AddMonitor(options, port);
  LayOut();

  const int index = Find(c.hostText);
  ASSERT_EQ(index, 0);
  EXPECT_EQ(Module().SetControllingProxy(index, nullptr), 0);
  const auto initialising = Clock::now();
  ASSERT_EQ(Module().Initialise(index), 1) << LastError(-1).text;
  EXPECT_EQ(Module().IsFailed(index), 0);
  EXPECT_EQ(Module().GetBaudRate(index), 115200);

  // Channel count first: it waits until the channel list is built. A monitor that answers
  // at once is ready well under a second.
  const auto expected = ExpectedChannels(c.profile, c.branded);
  Answer count = Ask(index, 11);
  EXPECT_LT(Clock::now() - initialising, 1s);
  EXPECT_EQ(count.result, 1);
  ASSERT_EQ(count.value, static_cast<int32_t>(expected.size()));
  ASSERT_EQ(monitor.profile().channels.size() + (c.branded ? 2 : 0), expected.size());
  EXPECT_EQ(monitor.Commands(), c.handshake);

  for (size_t k = 0; k < expected.size(); ++k) {
    const int channel = static_cast<int>(k) + 1;
    SCOPED_TRACE("channel " + std::to_string(channel));
    Answer name = Ask(index, 21, channel), title = Ask(index, 60, channel), scaling = Ask(index, 30, channel);
    EXPECT_EQ(name.result, 1);
    EXPECT_EQ(name.text, expected[k].name);
    EXPECT_EQ(title.text, expected[k].name);
    EXPECT_EQ(scaling.result, 1);
    EXPECT_EQ(scaling.text, expected[k].baseScaling);
  }
  if (c.branded) {
    EXPECT_EQ(Ask(index, 21, count.value - 1).text, "O-Cuff");
    EXPECT_EQ(Ask(index, 21, count.value).text, "VPR");
  }
  for (int outside : {0, count.value + 1}) {
    Answer a = Ask(index, 21, outside);
    EXPECT_EQ(a.result, 0) << outside;
    EXPECT_FALSE(a.textWritten) << outside;
  }

  struct TextCase {
    int code;
    std::string text;
  } texts[] = {{0, c.model}, {2, c.maker}, {3, "2.3.7.1"}, {4, c.serialDigits}, {39, "text"}};
  for (const auto& t : texts) {
    Answer a = Ask(index, t.code);
    EXPECT_EQ(a.result, 1) << t.code;
    EXPECT_EQ(a.text, t.text) << t.code;
    EXPECT_EQ(a.value, kUntouched) << t.code;
  }
  struct ValueCase {
    int code;
    int32_t value;
  } values[] = {{1, 2048}, {31, 20000}, {45, 20000}, {56, 1}};
  for (const auto& v : values) {
    Answer a = Ask(index, v.code);
    EXPECT_EQ(a.result, 1) << v.code;
    EXPECT_EQ(a.value, v.value) << v.code;
    EXPECT_FALSE(a.textWritten) << v.code;
  }

  // A second Initialise on the open, healthy device sends nothing; an unlisted period is
  // refused without a command; a listed one sends its position in the monitor's list.
  const size_t before = monitor.Commands().size();
  EXPECT_EQ(Module().Initialise(index), 1);
  Answer unlisted = Ask(index, 35, 12345);
  EXPECT_EQ(unlisted.result, 0);
  EXPECT_FALSE(unlisted.textWritten);
  EXPECT_EQ(Ask(index, 31).value, 20000);
  EXPECT_EQ(Ask(index, 35, 50000).result, 1);
  ASSERT_TRUE(Eventually([&] { return monitor.Commands().size() > before; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(CommandsAfter(monitor, before), std::vector<std::string>{"P3"});
  EXPECT_TRUE(Eventually([&] { return monitor.GetStats().periodUs == 50000; }));
  EXPECT_EQ(Ask(index, 31).value, 50000);
  EXPECT_EQ(Ask(index, 45).value, 50000);
  EXPECT_EQ(Ask(index, 35, 20000).result, 1);  // back to the monitor's usual rate
  EXPECT_TRUE(monitor.WaitForCommand("P2", 5s));

  // Channel switches.
  EXPECT_EQ(Ask(index, 43, 2).result, 1);
  EXPECT_EQ(Ask(index, 41, 2).result, 1);
  EXPECT_EQ(Ask(index, 43, 2).result, 0);
  EXPECT_EQ(Ask(index, 43, 1).result, 1) << "only the switched channel changes";
  EXPECT_EQ(Ask(index, 42, 2).result, 1);
  EXPECT_EQ(Ask(index, 43, 2).result, 1);

  for (int code : {5, 57, 61, static_cast<int>(0xFFFFFFFFu), -2, 36}) {
    Answer a = Ask(index, code);
    EXPECT_EQ(a.result, 0) << code;
    EXPECT_EQ(a.text, "^Unsupported VMC command") << code;
    EXPECT_EQ(a.value, kUntouched) << code;
  }

  // Sampling on: the start sequence reaches the monitor and data lines come back.
  const size_t beforeStart = monitor.Commands().size();
  EXPECT_EQ(Ask(index, 37).result, 1);
  EXPECT_EQ(CommandsAfter(monitor, beforeStart), c.start);
  std::vector<char> buffer(4096);
  ASSERT_EQ(Module().ReadLine(index, buffer.data(), static_cast<int>(buffer.size()), 5000), 1);
  DataBlock block;
  ASSERT_TRUE(ParseDataLines(buffer.data(), buffer.size(), block));
  EXPECT_EQ(block.channel, 1);
  EXPECT_FALSE(block.values.empty());

  // Sampling off returns without waiting for the monitor's echo.
  const size_t beforeStop = monitor.Commands().size();
  auto t0 = Clock::now();
  EXPECT_EQ(Ask(index, 38).result, 1);
  EXPECT_LT(Clock::now() - t0, 2s);
  ASSERT_TRUE(Eventually([&] { return monitor.Commands().size() >= beforeStop + c.stop.size(); }));
  EXPECT_EQ(CommandsAfter(monitor, beforeStop), c.stop);
  EXPECT_TRUE(Eventually([&] { return !monitor.GetStats().streaming; }));
  EXPECT_EQ(Module().ReadLine(index, buffer.data(), static_cast<int>(buffer.size()), 100), 0);
  EXPECT_EQ(Module().IsFailed(index), 0);

  EXPECT_EQ(Module().CloseAll(), 1);
  EXPECT_TRUE(Eventually([&] { return monitor.Commands().back() == "X"; }));
  EXPECT_EQ(Module().IsFailed(index), 1) << "no device after CloseAll";
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, E2eSession,
    ::testing::Values(
        SessionCase{"BrandedVyra", Profile::kBrandedVyra, "BVLVYRA0042", "BVLVYRA", true, "Brinvale VYRA",
                    "Brinvale Ltd.", "0042", {"S", "WN5", "V", "BvL", "F", "U11111", "I"},
                    {"WI5", "B", "WA5"}, {"WN5", "S"}},
        SessionCase{"Ventilator", Profile::kVentilator, "Z8001234", "Z800", false, "Z800", "Dura Scientific",
                    "1234", {"S", "V", "F", "U11111", "I"}, {"B"}, {"S"}}),
    [](const auto& info) { return std::string(info.param.label); });

// The two long waits, run side by side. A plain VYRA found as plain is refused and its
// Initialise runs into the handshake time-out; a monitor that stops answering after the
// version reply lets Initialise succeed and then fails the first command after the full
// description wait.
TEST_F(E2eTest, RefusedVyraAndMissingDescriptionFailAfterTheirWaits) {
  std::atomic<vyra::sim::Monitor*> silent{nullptr};
  vyra::sim::Options mute;
  mute.fault = vyra::sim::Fault::kSilent;
  mute.onCommand = [&silent](const std::string& command) {
    vyra::sim::Monitor* m = silent.load();
    if (!m) return;
    if (command == "S") m->SendRaw("S\r\n");
    if (command == "V") m->SendRaw("V,2,3,7,1,Z800,0,DSI\r\n");
  };
  vyra::sim::TreePort quietPort;
  quietPort.tty = "ttyUSB0";
  quietPort.serial = "Z8005555";
  silent = &AddMonitor(mute, quietPort);

  vyra::sim::Options plainOptions;
  plainOptions.profile = Profile::kPlainVyra;
  vyra::sim::TreePort plainPort;
  plainPort.tty = "ttyUSB1";
  plainPort.serial = "VEZ0077";
  auto& plain = AddMonitor(plainOptions, plainPort);
  LayOut();

  ASSERT_EQ(Find("Z800,VEZ"), 0);
  ASSERT_EQ(Find("Z800,VEZ"), 1);

  auto refused = std::async(std::launch::async, [] {
    auto t0 = Clock::now();
    int result = Module().Initialise(1);
    return std::make_pair(result, Clock::now() - t0);
  });

  ASSERT_EQ(Module().Initialise(0), 1);
  auto t0 = Clock::now();
  Answer a = Ask(0, 0);
  auto waited = Clock::now() - t0;
  EXPECT_EQ(a.result, 0);
  EXPECT_FALSE(a.textWritten);
  EXPECT_EQ(a.value, kUntouched);
  // Limits count whole milliseconds, as the host's tick count does: up to one less elapses.
  EXPECT_GE(waited, 15s - 1ms);
  EXPECT_LT(waited, 25s);
  EXPECT_EQ(Module().IsFailed(0), 0) << "a missing description fails the command, not the device";

  auto [result, took] = refused.get();
  EXPECT_EQ(result, 0);
  EXPECT_GE(took, 16s - 1ms);
  EXPECT_LT(took, 20s) << "fails at its limit";
  EXPECT_EQ(Module().IsFailed(1), 1);
  EXPECT_EQ(plain.Commands(), (std::vector<std::string>{"S", "V"})) << "nothing after the refused version";

  const std::string refusal = "Dura VYRA Monitor is not supported by Vellumar.";
  Message first = LastError(1);
  EXPECT_EQ(first.measured, static_cast<int>(refusal.size()) + 1);
  EXPECT_EQ(first.length, static_cast<int>(refusal.size()) + 1);
  EXPECT_EQ(first.text, refusal);
  Message again = LastError(1);
  EXPECT_EQ(again.length, 1);
  EXPECT_TRUE(again.text.empty()) << "the buffer stays unchanged: " << again.text;

  const std::string notResponding =
      "The device is not responding. Please power cycle the device and restart Vellumar.";
  Message table = LastError(-1);
  EXPECT_EQ(table.measured, 82);
  EXPECT_EQ(table.length, 82);
  EXPECT_EQ(table.text, notResponding);
  EXPECT_EQ(LastError(-1).text, notResponding) << "reading it changes nothing";
}

}  // namespace
}  // namespace e2e
