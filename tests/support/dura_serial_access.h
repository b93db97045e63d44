#pragma once
// The one test-side window onto a device: its protocol core, its link, and a handshake fed
// on the test's thread as the reader thread would feed it. Shared by every test file.
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "device/dura_serial.h"
#include "platform/serial_port.h"

namespace vyra {

class DuraSerialTestAccess {
 public:
  static ProtocolCore& Core(DuraSerial& d) { return d.core_; }
  static ReceiveBuffer& LineBuffer(DuraSerial& d) { return d.link_.Received(); }
  // Puts a line of the caller's in place of the port (commands then go to it, not to a
  // closed handle that waits out its 20 ms).
  static void InstallLine(DuraSerial& d, std::shared_ptr<plat::SerialPort> line) { d.link_.Adopt(std::move(line)); }
  // A line that takes every command at once and never has bytes: a test that drives the
  // protocol through many commands then waits out no closed handle's 20 ms per command.
  struct AcceptingLine final : plat::SerialPort {
    bool Configure(int, int) override { return true; }
    bool Write(const void*, size_t) override { return true; }
    WaitResult WaitReadable(plat::Event&, int) override { return WaitResult::Timeout; }
    long ReadQueued(void*, size_t) override { return 0; }
  };
  static void AcceptCommands(DuraSerial& d) { InstallLine(d, std::make_shared<AcceptingLine>()); }
  // Starts the handshake and hands over each reply (without CR) as the reader would.
  static void Handshake(DuraSerial& d, const std::vector<std::string>& replies) {
    d.WithCore([](ProtocolCore& core) { core.BeginHandshake(); });
    for (const std::string& r : replies) d.HandleReply(r.data(), static_cast<int>(r.size()));
  }
};

// The replies of a whole handshake that describes these channels (one parameter per name).
inline std::vector<std::string> HandshakeReplies(bool branded, std::string names, std::string units,
                                                 std::string maxima, std::string minima,
                                                 std::string version = "V,1,0,0,1,Monitor",
                                                 std::string rates = "0.02,0.01,EndOfCycle") {
  std::vector<std::string> r{"S"};
  if (branded) r.push_back("WN5");
  if (branded && version.find(",BVL") == std::string::npos) version += ",0,BVL";
  r.push_back(version);
  if (branded) r.push_back("ACK");
  r.insert(r.end(), {"F", names.empty() ? std::string("x") : names, rates, "U", "I", names, units, maxima, minima});
  return r;
}

// A device described by a handshake with these channels.
inline void Describe(DuraSerial& d, std::string names, std::string units, std::string maxima, std::string minima,
                     std::string version = "V,1,0,0,1,Monitor") {
  DuraSerialTestAccess::Handshake(d, HandshakeReplies(d.isBranded, std::move(names), std::move(units),
                                                      std::move(maxima), std::move(minima), std::move(version)));
}

}  // namespace vyra
