// The simulator's end of a pseudo-terminal, shared by the simulated monitor and the replay of
// a trace: the pair, the wake-up pipe of the thread serving it, bounded writes, command framing.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vyra::sim {

struct Terminal {
  using Clock = std::chrono::steady_clock;

  int master = -1, keeper = -1, wakeRead = -1, wakeWrite = -1;
  std::string slavePath;

  // Opens the pair raw at 115200 baud (master non-blocking) and the wake-up pipe.
  // Throws std::system_error.
  void Open();
  void Close();  // idempotent
  void CloseMaster();  // the host sees the far end hang up
  void Wake();
  void DrainWake();
  // Until t, or until woken while `interrupted` holds.
  void SleepUntil(Clock::time_point t, const std::function<bool()>& interrupted);
  // Writes all bytes, waiting while the host does not read, unless `interrupted` holds
  // meanwhile; returns the bytes written.
  std::size_t WriteAll(std::string_view bytes, const std::function<bool()>& interrupted);
  // Appends what the master has to `input`.
  void ReadAvailable(std::string& input);
  // Waits for input, a wake-up or the deadline (max: no deadline). 1 when the master has
  // input, 0 when not, -1 when the wait itself failed.
  int WaitForInput(Clock::time_point deadline);
  // Sets `flag`, wakes the serving thread (which watches it) and joins it.
  void EndServer(std::thread& server, std::atomic<bool>& flag);
};

// Takes the complete commands out of what the host sent: each without ':' and line end,
// empty ones left out.
std::vector<std::string> TakeCommands(std::string& input);

}  // namespace vyra::sim
