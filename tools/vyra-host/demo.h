#pragma once
#include <iosfwd>
#include <string>

namespace vyra::host {

class LiveServer;

struct DemoOptions {
  double seconds = 20;
  std::string outDir;  // empty: a new folder under the system's temporary folder
  std::string modulePath;
  std::string ids;
  LiveServer* live = nullptr;  // started; the stream feeds it
};

// Simulated branded monitor on a pseudo-terminal, found through a discovery tree of its own:
// describe it, stream it to CSV with its cuff-cycle comments, an EDF+ recording and a cycle
// table, plot the CSV.
int RunDemo(const DemoOptions& o, std::ostream& out, std::ostream& err);

}  // namespace vyra::host
