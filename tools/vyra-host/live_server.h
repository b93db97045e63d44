#pragma once
// The live view: an HTTP server of its own threads that shows every streamed device in a
// browser page and serves the same data to other programs (GET /, /api/devices, /api/events).
//
// The stream loops only call AddDevice, Samples, Comment, Cycle and State. Each call takes a
// short per-device lock and appends to a batch; it never waits for the network or a client.
// A flusher thread hands the batches to every client's bounded queue at most ten times a
// second per device; a client whose queue is full, or whose socket takes no data within the
// write time-out, is dropped.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vyra::host {

struct LiveChannel {
  int number = 0;  // host channel number, from 1
  std::string name, unit;
  double min = 0, max = 0;
  int periodUs = 0;
  int decimals = -1;  // values are written with this many decimals (the CSV's); -1: as needed
};

struct LiveDevice {
  std::string serial;  // the key of every other call
  std::string name, firmware;
  std::vector<LiveChannel> channels;
};

struct LiveLimits {
  std::size_t clientQueueBytes = 1 << 20;  // events waiting for one client
  int maxConnections = 256;                // beyond: 503 and closed
  std::size_t requestBytes = 16 << 10;     // request line, headers and body together
  std::chrono::milliseconds idle{5000};    // a connection without a request is closed
  std::chrono::milliseconds request{5000};  // a request must arrive whole within this
  std::chrono::milliseconds write{5000};    // a client that takes no data this long is dropped
  std::chrono::milliseconds flush{100};     // batches leave at most this often per device
  std::chrono::milliseconds heartbeat{15000};  // an idle event stream sends a comment line
  std::chrono::milliseconds drain{1000};    // Stop() lets event streams send what is queued
  std::size_t history = 500;                // comments and cycles replayed to a new client
};

// "PORT", "ADDR:PORT" or "[IPv6]:PORT"; the address defaults to 127.0.0.1. Port 0 picks a
// free one.
bool ParseServeAddress(const std::string& text, std::string& address, int& port, std::string& error);

class LiveServer {
 public:
  explicit LiveServer(LiveLimits limits = {});
  ~LiveServer();  // Stop()
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;

  bool Start(const std::string& address, int port, std::string& error);
  // Sends what is batched, lets the event streams end (up to LiveLimits::drain), joins every
  // thread. Idempotent.
  void Stop();
  std::string Url() const;  // "http://ADDR:PORT/"
  int Port() const;
  int Threads() const;  // the live view's threads now; from the thread that starts and stops it

  // A device again under a serial already known replaces its description and keeps its history.
  void AddDevice(const LiveDevice& device);
  // Samples of one channel: value i at t0 + i * period seconds from the start of the stream.
  void Samples(const std::string& serial, int channel, double t0, double period, const std::vector<double>& values);
  void Comment(const std::string& serial, double t, int channel, const std::string& text);  // channel 0: none
  // A cycle with results has systolic and diastolic (mmHg, as the device wrote them) and no
  // error; one without has the error text.
  void Cycle(const std::string& serial, int index, double t, const std::string& systolic,
             const std::string& diastolic, const std::string& error);
  // "streaming", "lost", "restored" or "stopped".
  void State(const std::string& serial, const std::string& state);

  struct Counts {
    std::size_t clients = 0;  // event streams open now
    std::size_t dropped = 0;  // event streams dropped for not keeping up
    std::size_t rejected = 0;  // connections refused over maxConnections
  };
  Counts GetCounts() const;
  // Until `done` holds for the counts (woken as they change) or the time is up.
  bool WaitForCounts(const std::function<bool(const Counts&)>& done, std::chrono::milliseconds timeout) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vyra::host
