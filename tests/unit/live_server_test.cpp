// The live view's server in this process, fed by two fake devices: what its clients receive,
// and what hostile and slow clients get.
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "live_server.h"
#include "support/biosig_reader.h"
#include "support/live_client.h"

namespace {

using namespace std::chrono_literals;
using vyra::host::LiveDevice;
using vyra::host::LiveLimits;
using vyra::host::LiveServer;
using vyra::test::Field;
using vyra::test::Items;

const LiveDevice kA{"A-1", "Monitor \"A\"", "1.0", {{1, "Pressure", "mmHg", 0, 300, 10000, 1}, {2, "Rate", "bpm", 0, 1000, 10000, 0}}};
const LiveDevice kB{"B-2", "Monitor B", "2.0", {{1, "Flow", "\xC2\xB5L", -5, 5, 10000, 2}}};

std::string Num(double v, int decimals) {
  char b[32];
  std::snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}

// Every value of every channel arrives once, in order, at its time; comments, cycles and states
// arrive; a client that comes late gets the comments and cycles so far exactly once.
TEST(LiveServer, EveryClientGetsEachDevicesEventsOnceAndInOrder) {
  LiveLimits limits;
  limits.flush = 20ms;
  LiveServer s(limits);
  std::string error;
  ASSERT_TRUE(s.Start("127.0.0.1", 0, error)) << error;
  s.AddDevice(kA);
  s.AddDevice(kB);
  s.State("A-1", "streaming");
  s.State("B-2", "streaming");

  std::string devices;
  ASSERT_EQ(vyra::test::RawStatus(s.Port(), "GET /api/devices HTTP/1.1\r\nConnection: close\r\n\r\n", &devices), 200);
  for (const char* text : {"\"serial\":\"A-1\"", "\"name\":\"Monitor \\\"A\\\"\"", "\"firmware\":\"2.0\"",
                           "{\"number\":1,\"name\":\"Flow\",\"unit\":\"\xC2\xB5L\",\"min\":-5.00,\"max\":5.00,\"period_us\":10000}",
                           "\"state\":\"streaming\""}) {
    EXPECT_NE(devices.find(text), std::string::npos) << text << " in " << devices;
  }

  auto early = std::make_unique<vyra::test::EventReader>(s.Port());
  ASSERT_TRUE(s.WaitForCounts([](const LiveServer::Counts& c) { return c.clients == 1; }, 10s));
  std::unique_ptr<vyra::test::EventReader> late;
  constexpr int kSteps = 40, kPerStep = 7;
  for (int step = 0; step < kSteps; ++step) {
    for (int ch = 1; ch <= 2; ++ch) {
      std::vector<double> v;
      for (int i = 0; i < kPerStep; ++i) v.push_back((step * kPerStep + i) * (ch == 1 ? 0.1 : 1.0));
      s.Samples("A-1", ch, step * kPerStep * 0.01, 0.01, v);
    }
    s.Samples("B-2", 1, step * 0.01, 0.01, {step / 100.0});
    if (step == 10) s.Comment("A-1", 1.0, 1, "Systolic BP = 120 mmHg");
    if (step == 12) s.Cycle("A-1", 1, 1.0, "120", "80", "");
    if (step == 20) {
      late = std::make_unique<vyra::test::EventReader>(s.Port());
      ASSERT_TRUE(s.WaitForCounts([](const LiveServer::Counts& c) { return c.clients == 2; }, 10s));
    }
    if (step == 30) s.Cycle("B-2", 1, 2.5, "", "", "error: cuff\nleak");
    std::this_thread::sleep_for(2ms);  // the devices' pace, so batches span several flushes
  }
  s.State("A-1", "stopped");
  s.Stop();

  for (vyra::test::EventReader* r : {early.get(), late.get()}) {
    std::map<std::pair<std::string, std::string>, std::vector<std::string>> values;
    std::map<std::pair<std::string, std::string>, double> first;  // t0 of the first batch
    std::map<std::string, int> kinds;
    std::vector<std::string> states;
    for (const auto& e : r->Finish()) {
      ++kinds[e.type];
      if (e.type == "samples") {
        const std::pair<std::string, std::string> key{Field(e.data, "serial"), Field(e.data, "channel")};
        auto& got = values[key];
        first.emplace(key, std::stod(Field(e.data, "t0")));
        EXPECT_EQ(Field(e.data, "t0"), Num(first[key] + got.size() * 0.01, 6)) << e.data;
        EXPECT_EQ(Field(e.data, "period_s"), "0.01");
        for (const auto& v : Items(Field(e.data, "values"))) got.push_back(v);
      } else if (e.type == "state") {
        states.push_back(Field(e.data, "serial") + " " + Field(e.data, "state"));
      } else if (e.type == "cycle") {
        EXPECT_TRUE(e.data == "{\"serial\":\"A-1\",\"index\":1,\"t\":1.000000,\"systolic\":120,\"diastolic\":80}" ||
                    e.data == "{\"serial\":\"B-2\",\"index\":1,\"t\":2.500000,\"error\":\"error: cuff\\nleak\"}")
            << e.data;
      } else if (e.type == "comment") {
        EXPECT_EQ(e.data, "{\"serial\":\"A-1\",\"t\":1.000000,\"channel\":1,\"text\":\"Systolic BP = 120 mmHg\"}");
      }
    }
    EXPECT_EQ(kinds["comment"], 1);
    EXPECT_EQ(kinds["cycle"], 2);
    EXPECT_EQ(states.back(), "A-1 stopped");
    if (r == late.get()) continue;  // its samples begin where it joined
    EXPECT_EQ((states == std::vector<std::string>{"A-1 streaming", "B-2 streaming", "A-1 stopped"}), true) << ::testing::PrintToString(states);
    ASSERT_EQ(values.size(), 3u);
    const auto& a1 = values[{"A-1", "1"}];
    const auto& a2 = values[{"A-1", "2"}];
    const auto& b1 = values[{"B-2", "1"}];
    ASSERT_EQ(a1.size(), size_t{kSteps * kPerStep});
    ASSERT_EQ(a2.size(), size_t{kSteps * kPerStep});
    ASSERT_EQ(b1.size(), size_t{kSteps});
    for (size_t i = 0; i < a1.size(); ++i) {
      ASSERT_EQ(a1[i], Num(i * 0.1, 1)) << i;
      ASSERT_EQ(a2[i], Num(static_cast<double>(i), 0)) << i;
    }
    for (size_t i = 0; i < b1.size(); ++i) ASSERT_EQ(b1[i], Num(i / 100.0, 2)) << i;
  }
}

// Nothing but the embedded files and the API, no request beyond its limits, and connections
// held open neither starve the others nor stay open.
TEST(LiveServer, HostileRequestsGetTheir4xxAndHeldConnectionsAreClosed) {
  LiveLimits limits;
  limits.idle = 300ms;
  limits.request = 500ms;
  LiveServer s(limits);
  std::string error;
  ASSERT_TRUE(s.Start("127.0.0.1", 0, error)) << error;
  s.AddDevice(kA);
  struct Case {
    std::string request;
    int status;
  } cases[] = {
      {"GET /../../etc/passwd HTTP/1.1\r\n\r\n", 404},
      {"GET /live.js/../../../../etc/passwd HTTP/1.1\r\n\r\n", 404},
      {"GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\n\r\n", 404},
      {"GET /etc/passwd HTTP/1.1\r\n\r\n", 404},
      {"POST /api/devices HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}", 405},
      {"DELETE / HTTP/1.1\r\n\r\n", 405},
      {"GET / HTTP/1.1\r\nX-Big: " + std::string(1 << 20, 'x') + "\r\n\r\n", 400},
      {"GET /" + std::string(20000, 'a') + " HTTP/1.1\r\n\r\n", 414},
      {"POST / HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + std::string(100000, 'b'), 405},
      {"\x16\x03\x01 not http\r\n\r\n", 400},
      {"GET /api/devices HTTP/1.1\r\n\r\n", 200},
      {"GET /dygraph.min.js HTTP/1.1\r\n\r\n", 200},
  };
  for (const auto& c : cases) {
    std::string answer;
    EXPECT_EQ(vyra::test::RawStatus(s.Port(), c.request, &answer), c.status) << c.request.substr(0, 60);
    EXPECT_EQ(answer.find("root:"), std::string::npos);
  }

  // Silent connections and one sending its headers a byte at a time.
  std::vector<int> held;
  for (int i = 0; i < 200; ++i) {
    held.push_back(vyra::test::Connect(s.Port()));
    ASSERT_GE(held.back(), 0);
  }
  ASSERT_TRUE(vyra::test::SendAll(held[0], "GET / HTTP/1.1\r\nX-Slow: "));
  EXPECT_EQ(vyra::test::RawStatus(s.Port(), "GET /api/devices HTTP/1.1\r\n\r\n"), 200) << "while 200 are held";
  for (int fd : held) {
    bool closed = false;
    vyra::test::ReadAll(fd, 5s, &closed);
    EXPECT_TRUE(closed);
    close(fd);
  }
  EXPECT_EQ(s.GetCounts().rejected, 0u);
  s.Stop();

  // Beyond the cap: answered 503 at once.
  limits.maxConnections = 3;
  limits.idle = 10s;
  LiveServer small(limits);
  ASSERT_TRUE(small.Start("127.0.0.1", 0, error)) << error;
  std::vector<int> full;
  for (int i = 0; i < 3; ++i) full.push_back(vyra::test::Connect(small.Port()));
  EXPECT_EQ(vyra::test::RawStatus(small.Port(), "GET / HTTP/1.1\r\n\r\n"), 503);
  EXPECT_EQ(small.GetCounts().rejected, 1u);
  for (int fd : full) close(fd);
}

// A client that never reads is dropped; the one that reads misses nothing, and the devices'
// calls never wait for either.
TEST(LiveServer, AClientThatDoesNotReadIsDroppedAndTheOthersMissNothing) {
  LiveLimits limits;
  limits.flush = 10ms;
  limits.clientQueueBytes = 256 << 10;
  limits.write = 500ms;
  LiveServer s(limits);
  std::string error;
  ASSERT_TRUE(s.Start("127.0.0.1", 0, error)) << error;
  s.AddDevice(kB);
  vyra::test::EventReader reader(s.Port());
  const int stuck = vyra::test::Connect(s.Port(), 4096);
  ASSERT_TRUE(vyra::test::SendAll(stuck, "GET /api/events HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(s.WaitForCounts([](const LiveServer::Counts& c) { return c.clients == 2; }, 10s));

  // About 2 MB of events, far more than the stuck client's socket and queue hold.
  const std::vector<double> block(200, 1.25);
  size_t sent = 0;
  for (int step = 0; step < 2000; ++step) {
    s.Samples("B-2", 1, static_cast<double>(sent) * 0.01, 0.01, block);
    sent += block.size();
    std::this_thread::sleep_for(1ms);  // the device's pace
  }
  EXPECT_TRUE(s.WaitForCounts([](const LiveServer::Counts& c) { return c.dropped == 1 && c.clients == 1; }, 10s))
      << s.GetCounts().dropped << " dropped, " << s.GetCounts().clients << " open";
  s.Stop();
  close(stuck);
  size_t got = 0;
  for (const auto& e : reader.Finish()) {
    if (e.type != "samples") continue;
    EXPECT_EQ(Field(e.data, "t0"), Num(got * 0.01, 6));
    got += Items(Field(e.data, "values")).size();
  }
  EXPECT_EQ(got, sent);
}

// The page of two devices at once, in a real browser, fed here as a stream loop feeds it: both
// devices' channels, moving charts and a cycle result.
TEST(LiveServer, APageInABrowserShowsTwoDevices) {
  VYRA_NEED_READER(vyra::test::HaveBrowser(), "Chromium, chromedriver and selenium (chromium-driver, python3-selenium)");
  LiveServer s;
  std::string error;
  ASSERT_TRUE(s.Start("127.0.0.1", 0, error)) << error;
  LiveDevice b = kA;
  b.serial = "C-3";
  b.name = "Monitor C";
  for (const auto& d : {kA, b}) {
    s.AddDevice(d);
    s.State(d.serial, "streaming");
  }
  std::mutex m;
  std::condition_variable cv;
  bool stop = false;
  std::thread feeder([&] {
    std::unique_lock<std::mutex> lock(m);
    for (int step = 0; !cv.wait_for(lock, 20ms, [&] { return stop; }); ++step) {
      for (const char* serial : {"A-1", "C-3"}) {
        s.Samples(serial, 1, step * 0.02, 0.02, {120 + 20 * std::sin(step / 10.0)});
        s.Samples(serial, 2, step * 0.02, 0.02, {double(step % 500)});
        if (step % 100 == 50) s.Cycle(serial, step / 100 + 1, step * 0.02, "121", "79", "");
      }
    }
  });
  EXPECT_EQ(vyra::test::RunPageCheck(s.Url(), "Pressure,Rate", 2, 4.0), 0);
  {
    std::lock_guard<std::mutex> lock(m);
    stop = true;
  }
  cv.notify_all();
  feeder.join();
}

}  // namespace
