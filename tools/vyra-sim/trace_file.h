#pragma once
// Recorded traces: the bytes a monitor sent, what the host did, and what the plug-in made of
// it. One event a line: "<ms> <kind> <payload>", the payload escaped (\\ \r \n \t \xHH).
//   <  bytes from the device        >  bytes to the device (a framed command)
//   !  a host action: init, start, stop, period N, close
//   =  acquisition state            i  name|version|level
//   e  error text                   c  <index> one channel: name|title|max|min|exponent|period|gain list|scaling
//   +  <channel>,<value>,...   values the line put in one channel's ring
//   #  <samples> <text>         a comment at its waveform-sample position
// Lines starting with "//" are notes. The file VYRA_TRACE writes uses "<" and ">" only, each
// port's lines after an "@ <port path>" line (framework/byte_trace.h).
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vyra::trace {

inline std::string Escape(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char c : bytes) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  throw std::runtime_error("trace: bad hex digit");
}

inline std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) throw std::runtime_error("trace: escape at end of line");
    switch (text[i]) {
      case '\\': out += '\\'; break;
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'x':
        if (i + 2 >= text.size()) throw std::runtime_error("trace: short \\x");
        out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
        i += 2;
        break;
      default: throw std::runtime_error("trace: unknown escape");
    }
  }
  return out;
}

struct Event {
  int64_t ms = 0;
  char kind = 0;
  std::string payload;  // as written (escaped)
  std::string Line() const { return std::to_string(ms) + " " + kind + (payload.empty() ? "" : " " + payload); }
};

inline std::vector<Event> Read(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("trace: cannot open " + path);
  std::vector<Event> events;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line.rfind("//", 0) == 0) continue;
    Event e;
    size_t sp = line.find(' ');
    if (sp == std::string::npos || sp + 1 >= line.size()) throw std::runtime_error("trace: bad line " + line);
    e.ms = std::stoll(line.substr(0, sp));
    e.kind = line[sp + 1];
    if (sp + 3 <= line.size()) e.payload = line.substr(sp + 3);
    events.push_back(std::move(e));
  }
  return events;
}

// Kinds the plug-in produces, as opposed to what was given to it.
inline bool IsOutcome(char kind) { return kind != '<' && kind != '!'; }

}  // namespace vyra::trace
