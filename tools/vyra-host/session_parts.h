#pragma once
// Pieces the host's commands share: device opening, channel reading, message layout.
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "module.h"
#include "stream_data.h"

namespace vyra::host {

class LiveServer;

// Closes every device on every path out of a command. The recording objects the devices
// use must outlive it, so it is declared after them.
struct CloseGuard {
  Module& m;
  int threadsBefore;
  std::ostream& err;
  LiveServer* live = nullptr;  // its threads come and go with its clients: not counted
  ~CloseGuard();
};

struct ChannelInfo {
  int number = 0;
  std::string name;
  std::string scalingText;
  std::optional<BaseScaling> scaling;
};

// The plug-in's messages carry their own line breaks; indented under ours.
std::string Indent(const std::string& text);
// FindDevice + Initialise; on failure prints why and returns the exit code.
int OpenDevice(Module& m, const std::string& ids, int& index, std::ostream& err);
int CommandFailed(Module& m, const char* what, std::ostream& err);
int ReadChannels(Module& m, int index, std::vector<ChannelInfo>& channels, std::ostream& err);
std::string FormatNumber(double v, int decimals);

// Readable when a signal arrived or WakeWaiter was called: a waiting loop polls it.
int WakeFd();
void WakeWaiter();

}  // namespace vyra::host
