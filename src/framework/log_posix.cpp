// Provisional POSIX log sink: VYRA_LOG names a file to append to, or "-" for stderr.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "framework/log.h"
#include "platform/codepage.h"

namespace vyra {

namespace {
std::recursive_mutex& LogLock() {
  static std::recursive_mutex m;
  return m;
}
}  // namespace

void WriteLogEntry(const char16_t* text) noexcept {
  try {
    const char* where = std::getenv("VYRA_LOG");
    if (!where || !*where || !text) return;
    std::u16string_view w(text);
    std::string s;
    plat::WideToMultiByte(plat::kCodePageUtf8, w, s);
    std::lock_guard<std::recursive_mutex> lock(LogLock());
    if (std::string_view(where) == "-") {
      std::fprintf(stderr, "%s\n", s.c_str());
    } else if (FILE* f = std::fopen(where, "a")) {
      std::fprintf(f, "%s\n", s.c_str());
      std::fclose(f);
    }
  } catch (...) {
  }
}

uint32_t LogClock() noexcept {
  using namespace std::chrono;
  static const auto start = steady_clock::now();
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

void LogEntry(std::string_view label, std::u16string_view text) noexcept {
  try {
    char head[64];
    std::snprintf(head, sizeof head, "%7g: ", LogClock() / 1000.0);
    std::u16string entry;
    plat::MultiByteToWide(plat::kCodePageThreadAnsi, std::string(head) + std::string(label), entry);
    entry += text;
    WriteLogEntry(entry.c_str());
  } catch (...) {
  }
}

void LogEntry(std::string_view label, std::string_view text) noexcept {
  try {
    std::u16string w;
    plat::MultiByteToWide(plat::kCodePageThreadAnsi, text, w);
    LogEntry(label, std::u16string_view(w));
  } catch (...) {
  }
}

void LogEntry(std::string_view label, const BVL::String& text) noexcept { LogEntry(label, text.View()); }

}  // namespace vyra
