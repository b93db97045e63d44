#pragma once
// A device for the in-process benchmarks: no terminal (its line takes every command at once),
// described by a whole handshake fed through HandleReply and left sampling, so every figure
// runs the path the reader thread runs.
#include <memory>
#include <string>

#include "device/dura_serial.h"
#include "support/dura_serial_access.h"

namespace vyra::bench {

inline void Feed(DuraSerial& d, std::string_view line) { d.HandleReply(line.data(), static_cast<int>(line.size())); }

// Null when the channels were not built or sampling did not start.
inline std::unique_ptr<DuraSerial> SamplingDevice(const std::string& names, const std::string& units,
                                                  const std::string& maxima, const std::string& minima) {
  auto d = std::make_unique<DuraSerial>(u"/dev/null-bench", u"FTDIBUS\\Z8000042A");
  DuraSerialTestAccess::AcceptCommands(*d);
  Describe(*d, names, units, maxima, minima);
  if (!d->ChannelsReady()) return nullptr;
  d->StartSampling();
  Feed(*d, "B");  // the begin echo
  if (!d->IsSampling()) return nullptr;
  return d;
}

// `n` channels "Ch1".."Chn" ranging 0..100.
inline std::unique_ptr<DuraSerial> SamplingDevice(int n) {
  std::string names, units, maxima, minima;
  for (int i = 0; i < n; ++i) {
    const std::string sep = i ? "," : "";
    names += sep + "Ch" + std::to_string(i + 1);
    units += sep + "u";
    maxima += sep + "100";
    minima += sep + "0";
  }
  return SamplingDevice(names, units, maxima, minima);
}

}  // namespace vyra::bench
