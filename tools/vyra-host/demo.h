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

// Two simulated branded monitors on pseudo-terminals, found through a discovery tree of their
// own: describe the first, stream both at once, each to a CSV with its cuff-cycle comments, an
// EDF+ recording and a cycle table, plot the CSVs.
int RunDemo(const DemoOptions& o, std::ostream& out, std::ostream& err);

}  // namespace vyra::host
