// End-to-end rig: the built module loaded as a host loads it and driven only through its
// exports, against simulated monitors that discovery finds in a tree laid out for the test.
#pragma once

#include <dlfcn.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vyra_sim.h"

namespace e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The exports a host calls, resolved once; the module stays loaded for the whole run.
struct Exports {
  int (*FindDevice)(int*, const char*);
  int (*Initialise)(int);
  int (*CloseAll)();
  int (*IsFailed)(int);
  int (*GetBaudRate)(int);
  int (*ReadLine)(int, char*, int, int);
  void (*FlushReadBuffer)(int);
  int (*GetUniqueID)(int, int*);
  int (*DeviceCommand)(int, int, void*);
  int (*GetLastErrorMsg)(int, char*);
  int (*SetControllingProxy)(int, void*);
  bool ok = false;
};

inline const Exports& Module() {
  static const Exports exports = [] {
    Exports e{};
    void* h = dlopen(VYRA_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!h) return e;
    auto get = [h](auto& fn, const char* name) { fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(h, name)); };
    get(e.FindDevice, "FindDevice");
    get(e.Initialise, "Initialise");
    get(e.CloseAll, "CloseAll");
    get(e.IsFailed, "IsFailed");
    get(e.GetBaudRate, "GetBaudRate");
    get(e.ReadLine, "ReadLine");
    get(e.FlushReadBuffer, "FlushReadBuffer");
    get(e.GetUniqueID, "GetUniqueID");
    get(e.DeviceCommand, "DeviceCommand");
    get(e.GetLastErrorMsg, "GetLastErrorMsg");
    get(e.SetControllingProxy, "SetControllingProxy");
    e.ok = e.FindDevice && e.Initialise && e.CloseAll && e.IsFailed && e.GetBaudRate && e.ReadLine &&
           e.FlushReadBuffer && e.GetUniqueID && e.DeviceCommand && e.GetLastErrorMsg && e.SetControllingProxy;
    return e;
  }();
  return exports;
}

// The host's command record as the 64-bit build lays it out.
struct HostRecord {
  char* text;
  uint32_t textSize;
  int32_t reserved0;
  int32_t argument;
  int32_t reserved1;
  int32_t value;
};

constexpr int32_t kUntouched = -777;
constexpr char kFill = '#';

struct Answer {
  int result = 0;
  bool textWritten = false;  // false: the buffer is exactly as the host filled it
  std::string text;
  int32_t value = kUntouched;
};

// One DeviceCommand call with a host buffer prefilled so untouched bytes can be told apart.
inline Answer Ask(int index, int code, int32_t argument = 0) {
  char buffer[256];
  std::memset(buffer, kFill, sizeof buffer);
  buffer[sizeof buffer - 1] = '\0';
  HostRecord r{buffer, sizeof buffer, -5, argument, -6, kUntouched};
  Answer a;
  a.result = Module().DeviceCommand(index, code, &r);
  a.value = r.value;
  EXPECT_EQ(r.reserved0, -5) << "code " << code;
  EXPECT_EQ(r.reserved1, -6) << "code " << code;
  EXPECT_EQ(r.argument, argument) << "code " << code;
  for (size_t i = 0; i + 1 < sizeof buffer; ++i)
    if (buffer[i] != kFill) a.textWritten = true;
  if (a.textWritten) a.text = buffer;
  return a;
}

// GetLastErrorMsg with a buffer sized by a first measuring call.
struct Message {
  int measured = 0, length = 0;
  std::string text;
};
inline Message LastError(int index) {
  Message m;
  m.measured = Module().GetLastErrorMsg(index, nullptr);
  std::vector<char> buffer(static_cast<size_t>(m.measured > 0 ? m.measured : 1) + 16, kFill);
  m.length = Module().GetLastErrorMsg(index, buffer.data());
  if (buffer[0] != kFill) m.text.assign(buffer.data(), strnlen(buffer.data(), buffer.size()));
  return m;
}

// What a host should see of a channel: the monitor's name classified, the base scaling of its
// range, and the power of ten its samples are stored with.
struct ExpectedChannel {
  std::string name;
  std::string baseScaling;
  int exponent;
  int32_t scaledMin, scaledMax;
};

// Worked out by hand from the channel lists the simulated profiles send.
inline std::vector<ExpectedChannel> ExpectedChannels(vyra::sim::Profile profile, bool branded) {
  using vyra::sim::Profile;
  std::vector<ExpectedChannel> c;
  switch (profile) {
    case Profile::kBrandedVyra:
    case Profile::kPlainVyra:
      c = {{"Systolic BP", "0,0;5000,500;mmHg;1;", 1, 0, 5000},
           {"Diastolic BP", "0,0;5000,500;mmHg;1;", 1, 0, 5000},
           {"Mean BP", "0,0;5000,500;mmHg;1;", 1, 0, 5000},
           {"Heart Rate", "0,0;1000,1000;bpm;0;", 0, 0, 1000},
           {"Tail Volume", "0,0;5000,500;\xC2\xB5L;1;", 1, 0, 5000}};
      break;
    case Profile::kVentilator:
      c = {{"Peak Pressure", "-1000,-10;5000,50;cmH\xE2\x82\x82O;2;", 2, -1000, 5000},
           {"Tidal Volume", "0,0;1000,100;mL;1;", 1, 0, 1000},
           {"Resp. Rate", "0,0;500,500;breaths/min;0;", 0, 0, 500},
           {"PEEP", "0,0;500,50;cmH\xE2\x82\x82O;1;", 1, 0, 500},
           {"Minute Volume", "0,0;2000,2000;mL/min;0;", 0, 0, 2000}};
      break;
    default:
      ADD_FAILURE() << "no expectations written for this profile";
  }
  if (branded) {
    c.push_back({"O-Cuff", "0,0;300,300;mmHg;0;", 0, 0, 300});
    c.push_back({"VPR", "0,0;300,300;mmHg;0;", 0, 0, 300});
  }
  return c;
}

inline int32_t PowerOfTen(int e) {
  int32_t p = 1;
  while (e-- > 0) p *= 10;
  return p;
}

// The identifier a host gets for a device path: FNV-1a over the path's UTF-16 units (low
// byte first), its last five decimal digits read backwards. Paths here are ASCII.
inline int32_t ExpectedUniqueId(const std::string& path) {
  uint32_t h = 2166136261u;
  for (unsigned char c : path) {
    h = (h ^ c) * 16777619u;
    h = (h ^ 0u) * 16777619u;
  }
  int32_t id = 0;
  for (int i = 0; i < 5; ++i, h /= 10) id = id * 10 + static_cast<int32_t>(h % 10);
  return id;
}

// The samples of one ReadLine call: lines "+<n>" then ",<int>" per sample then "\n", all of
// one channel, and a NUL after the last.
struct DataBlock {
  int channel = 0;
  int lines = 0;
  std::vector<int32_t> values;
};

inline ::testing::AssertionResult ParseDataLines(const char* buffer, size_t size, DataBlock& out) {
  out = {};
  const char* end = static_cast<const char*>(std::memchr(buffer, '\0', size));
  if (!end) return ::testing::AssertionFailure() << "no NUL within the buffer";
  const char* p = buffer;
  auto digits = [&](const char*& q, int64_t& v) {
    const char* start = q;
    v = 0;
    while (q < end && *q >= '0' && *q <= '9') v = v * 10 + (*q++ - '0');
    return q > start && !(q - start > 1 && *start == '0') && q - start <= 10;
  };
  if (p == end) return ::testing::AssertionFailure() << "empty text";
  while (p < end) {
    const char* lineStart = p;
    int64_t channel;
    if (*p++ != '+' || !digits(p, channel) || channel < 1)
      return ::testing::AssertionFailure() << "bad line start: " << std::string(lineStart, end);
    if (out.lines == 0) out.channel = static_cast<int>(channel);
    if (channel != out.channel)
      return ::testing::AssertionFailure() << "channels " << out.channel << " and " << channel << " in one call";
    while (p < end && *p == ',') {
      ++p;
      bool negative = p < end && *p == '-';
      if (negative) ++p;
      int64_t v;
      if (!digits(p, v) || (negative && v == 0))
        return ::testing::AssertionFailure() << "bad value in: " << std::string(lineStart, end);
      out.values.push_back(static_cast<int32_t>(negative ? -v : v));
    }
    if (p >= end || *p != '\n')
      return ::testing::AssertionFailure() << "line not ended by a line feed: " << std::string(lineStart, end);
    ++p;
    if (p - lineStart > 2043) return ::testing::AssertionFailure() << "line of " << (p - lineStart) << " bytes";
    ++out.lines;
  }
  return ::testing::AssertionSuccess();
}

template <class F>
bool Eventually(F condition, std::chrono::milliseconds limit = 5s) {
  auto end = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

inline std::vector<std::string> CommandsAfter(const vyra::sim::Monitor& m, size_t from) {
  auto all = m.Commands();
  return from < all.size() ? std::vector<std::string>(all.begin() + static_cast<long>(from), all.end())
                           : std::vector<std::string>{};
}

// Each test starts and ends with an empty device table and no discovery state, so the roots
// it sets are read by a fresh enumerator.
class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Module().ok) << "module or an export missing: " << VYRA_MODULE_PATH;
    std::string pattern = (fs::temp_directory_path() / "vyra-e2e.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    Module().CloseAll();
  }
  void TearDown() override {
    if (Module().ok) Module().CloseAll();  // joins every reader before the monitors go
    monitors_.clear();
    unsetenv("VYRA_SYSFS_ROOT");
    unsetenv("VYRA_DEV_ROOT");
    unsetenv("VYRA_LOG");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // A started monitor; its port is added to the tree by LayOut.
  vyra::sim::Monitor& AddMonitor(vyra::sim::Options options, vyra::sim::TreePort port) {
    monitors_.push_back(std::make_unique<vyra::sim::Monitor>(std::move(options)));
    monitors_.back()->Start();
    port.target = monitors_.back()->SlavePath();
    ports_.push_back(port);
    return *monitors_.back();
  }
  // A port in the tree with nothing behind it.
  void AddPort(vyra::sim::TreePort port) { ports_.push_back(port); }

  // Lays the tree out and points the module at it; call while no device thread runs.
  void LayOut(bool ftdiDriver = true) {
    paths_ = vyra::sim::LayOutDiscoveryTree((dir_ / "tree").string(), ports_, ftdiDriver);
    setenv("VYRA_SYSFS_ROOT", paths_.sysfsRoot.c_str(), 1);
    setenv("VYRA_DEV_ROOT", paths_.devRoot.c_str(), 1);
  }

  std::string DevicePath(const vyra::sim::TreePort& port) const {
    return paths_.devRoot + "/serial/by-id/" + vyra::sim::ByIdName(port);
  }

  // Finds the next device for `hostText`; -1 when FindDevice reports none.
  static int Find(const char* hostText) {
    int index = -99;
    int found = Module().FindDevice(&index, hostText);
    if (!found) {
      EXPECT_EQ(index, -99) << "the out index is left alone when nothing is found";
      return -1;
    }
    return index;
  }

  fs::path dir_;
  std::vector<vyra::sim::TreePort> ports_;
  std::vector<std::unique_ptr<vyra::sim::Monitor>> monitors_;
  vyra::sim::TreePaths paths_;
};

}  // namespace e2e
