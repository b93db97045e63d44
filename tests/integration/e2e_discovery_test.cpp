// Discovery through the exports: the walk over the ports of a laid-out tree, the devices it
// makes, and what the log of a full session holds.
#include <algorithm>
#include <regex>

#include "integration/e2e_fixture.h"

namespace e2e {
namespace {

using vyra::sim::Profile;

struct LogLine {
  std::string clock, text;  // the seven-character clock field and what follows ": "
};

std::vector<LogLine> ReadLog(const fs::path& file) {
  std::vector<LogLine> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    LogLine l;
    if (line.size() >= 9 && line.compare(7, 2, ": ") == 0) {
      l.clock = line.substr(0, 7);
      l.text = line.substr(9);
    } else {
      l.text = line;  // kept so a malformed entry fails the form check
    }
    lines.push_back(l);
  }
  return lines;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string s;
  for (size_t i = 0; i < parts.size(); ++i) s += (i ? "," : "") + parts[i];
  return s;
}

// Two monitors and a port that does not match: found in walk order, the walk ends and starts
// over, CloseAll empties the table; the log of the first session holds its description in order.
TEST_F(E2eTest, WalkFindsMonitorsInOrderAndTheLogRecordsTheSession) {
  const fs::path logFile = dir_ / "vyra.log";
  setenv("VYRA_LOG", logFile.c_str(), 1);

  vyra::sim::TreePort first;
  first.tty = "ttyUSB0";
  first.serial = "BVLVYRA0042";
  auto& branded = AddMonitor({}, first);
  vyra::sim::TreePort stranger;
  stranger.tty = "ttyUSB1";
  stranger.serial = "A1B2C3";
  stranger.driver = "cp210x";
  stranger.vendor = "10c4";
  stranger.product = "ea60";
  AddPort(stranger);
  vyra::sim::Options plainOptions;
  plainOptions.profile = Profile::kPlainVyra;
  vyra::sim::TreePort second;
  second.tty = "ttyUSB2";
  second.serial = "BVLVYRA0043";
  auto& unbranded = AddMonitor(plainOptions, second);
  LayOut();

  ASSERT_EQ(Find("BVLVYRA"), 0);
  EXPECT_EQ(Module().SetControllingProxy(0, nullptr), 0);
  ASSERT_EQ(Module().Initialise(0), 1);
  ASSERT_EQ(Ask(0, 11).value, 7);
  EXPECT_EQ(Ask(0, 4).text, "0042");

  // A plain unit on a branded port is accepted with a warning and named as branded.
  ASSERT_EQ(Find("BVLVYRA"), 1);
  ASSERT_EQ(Module().Initialise(1), 1);
  EXPECT_EQ(Ask(1, 4).text, "0043");
  EXPECT_EQ(Ask(1, 0).text, "Brinvale VYRA");
  EXPECT_EQ(Ask(1, 2).text, "Brinvale Ltd.");
  const std::string warning = "Brinvale VYRA failed to report itself as an Brinvale VYRA.";
  EXPECT_EQ(LastError(1).text, warning);
  EXPECT_EQ(LastError(1).length, 1);

  EXPECT_EQ(Find("BVLVYRA"), -1) << "the walk ends after the last port";
  Message table = LastError(-1);
  EXPECT_EQ(table.length, 45);
  EXPECT_EQ(table.text, "The device is not responding or powered off.");

  const int again = Find("BVLVYRA");
  ASSERT_EQ(again, 2) << "a new walk finds the first port again";
  int ids[3] = {-1, -1, -1};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Module().GetUniqueID(i, &ids[i]), 1);
  EXPECT_EQ(ids[0], ExpectedUniqueId(DevicePath(first)));
  EXPECT_EQ(ids[1], ExpectedUniqueId(DevicePath(second)));
  EXPECT_EQ(ids[2], ids[0]);

  EXPECT_EQ(Module().CloseAll(), 1);
  EXPECT_TRUE(Eventually([&] { return branded.Commands().back() == "X"; }));
  EXPECT_TRUE(Eventually([&] { return unbranded.Commands().back() == "X"; }));
  EXPECT_EQ(Module().IsFailed(0), 1);
  EXPECT_EQ(LastError(-1).length, 77) << "no table, no driver record";

  ASSERT_EQ(Find("BVLVYRA"), 0) << "CloseAll restarts the table and the walk";
  int id = -1;
  EXPECT_EQ(Module().GetUniqueID(0, &id), 1);
  EXPECT_EQ(id, ids[0]);
  EXPECT_EQ(Module().CloseAll(), 1);
  unsetenv("VYRA_LOG");

  // The first device's session, entry by entry, in the order the monitor described itself.
  const auto& info = branded.profile();
  std::vector<std::string> names, units, maxima, minima;
  for (const auto& c : info.channels) {
    names.push_back(c.name);
    units.push_back(c.unit);
    maxima.push_back(c.maxText);
    minima.push_back(c.minText);
  }
  std::vector<std::string> wanted = {
      "devicePath: " + DevicePath(first),
      "version: V,2,3,7,1,VYRA,0,BVL",
      "params: systol,diasto,meanb,hr,volume",
      "upload rates: " + branded.options().uploadRates,
      "channel names: " + Join(names),
      "channel units: " + Join(units),
      "channel maxVals: " + Join(maxima),
      "channel minVals: " + Join(minima),
  };
  const auto channels = ExpectedChannels(Profile::kBrandedVyra, true);
  static const char* gains[] = {"0,500", "0,500", "0,500", "0,1000", "0,500", "0,300", "0,300"};

  const auto log = ReadLog(logFile);
  ASSERT_FALSE(log.empty());
  for (const auto& l : log) {
    EXPECT_TRUE(std::regex_match(l.clock, std::regex(" *[0-9]+(\\.[0-9]+)?"))) << "entry form: [" << l.clock
                                                                                << "] " << l.text;
  }
  size_t at = 0;
  for (const auto& w : wanted) {
    while (at < log.size() && log[at].text != w) ++at;
    ASSERT_LT(at, log.size()) << "missing or out of order: " << w;
    ++at;
  }
  // Channel entries follow, numbered on from whatever this process built before.
  const std::regex channelEntry("channel: ([0-9]+) \\| (.*)");
  std::smatch m;
  while (at < log.size() && !std::regex_match(log[at].text, m, channelEntry)) ++at;
  ASSERT_LT(at, log.size()) << "no channel entry";
  const int firstNumber = std::stoi(m[1].str());
  for (size_t k = 0; k < channels.size(); ++k, ++at) {
    ASSERT_LT(at, log.size());
    EXPECT_EQ(log[at].text, "channel: " + std::to_string(firstNumber + static_cast<int>(k)) + " | " +
                                channels[k].name + " | gainlist: " + gains[k] +
                                " | basescaling: " + channels[k].baseScaling);
  }
  EXPECT_NE(std::find_if(log.begin(), log.end(), [&](const LogLine& l) { return l.text == "!!! " + warning; }),
            log.end())
      << "the warning is logged";
}

// Without the FTDI driver nothing is found, whatever the ports, until CloseAll forgets the
// driver record.
TEST_F(E2eTest, MissingFtdiDriverStopsDiscoveryUntilCloseAll) {
  const fs::path logFile = dir_ / "driver.log";
  setenv("VYRA_LOG", logFile.c_str(), 1);
  vyra::sim::TreePort port;
  port.serial = "BVLVYRA0042";
  AddPort(port);
  LayOut(false);

  EXPECT_EQ(Find("BVLVYRA"), -1);
  const std::string driverMessage =
      "The device driver is not installed.\nPlease plug in your device and restart Vellumar.\n\n"
      "Refer to the Device Vantrel Installation Guide\nif you continue to see this message.";
  Message m = LastError(-1);
  EXPECT_EQ(m.measured, 170);
  EXPECT_EQ(m.length, 170);
  EXPECT_EQ(m.text, driverMessage);

  fs::create_directories(fs::path(paths_.sysfsRoot) / "bus" / "usb-serial" / "drivers" / "ftdi_sio");
  EXPECT_EQ(Find("BVLVYRA"), -1) << "the record stays until CloseAll";
  EXPECT_EQ(LastError(-1).length, 170);
  EXPECT_EQ(Module().CloseAll(), 1);
  EXPECT_EQ(LastError(-1).length, 77);
  EXPECT_EQ(Find("BVLVYRA"), 0);
  unsetenv("VYRA_LOG");

  const auto log = ReadLog(logFile);
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const LogLine& l) { return l.text == "!!! Device driver not installed or missing."; }),
            2)
      << "one entry per refused call";
}

}  // namespace
}  // namespace e2e
