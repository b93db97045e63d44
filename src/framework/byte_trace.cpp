#include "framework/byte_trace.h"

#include <chrono>
#include <cstdio>

#include "framework/log.h"
#include "platform/codepage.h"
#include "platform/process_wide.h"
#include "support/hot_path.h"

namespace vyra {

namespace {

void AppendEscaped(std::string& out, std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u >= 0x20 && u < 0x7F) {
          out += c;
        } else {
          out += "\\x";
          out += kHex[u >> 4];
          out += kHex[u & 0xF];
        }
    }
  }
}

std::string UtcNow() {
  using namespace std::chrono;
  const auto now = floor<seconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date(day);
  const hh_mm_ss time(now - day);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d UTC", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

std::unique_ptr<ByteTrace> OpenProcessTrace() noexcept {
  try {
    std::unique_ptr<TraceFile> file = OpenTraceFileFromEnvironment();
    return file ? std::make_unique<ByteTrace>(std::move(file)) : nullptr;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

ByteTrace::ByteTrace(std::unique_ptr<TraceFile> file) : file_(std::move(file)) {
  pending_ = "// VYRA byte trace of " + TracedProcess() + ", started " + UtcNow() +
             "\n// <ms on the log clock> <kind> <bytes>; kinds: @ the port of the lines below it, "
             "< from the device, > to the device; bytes escaped \\\\ \\r \\n \\t \\xHH\n";
  Flush();
}

ByteTrace::~ByteTrace() {
  if (!file_) return;
  pending_ += "// " + std::to_string(LogClock()) + " trace closed with the module\n";
  Flush();
}

int32_t ByteTrace::PortId(std::string_view path) {
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < ports_.size(); ++i)
    if (ports_[i] == path) return static_cast<int32_t>(i);
  ports_.emplace_back(path);
  return static_cast<int32_t>(ports_.size() - 1);
}

void ByteTrace::Record(int32_t port, char kind, std::string_view bytes, TraceWait wait) noexcept {
  try {
    std::unique_lock lock(mutex_, std::defer_lock);
    if (wait == TraceWait::kNever) {
      if (!lock.try_lock()) return;
    } else {
      lock.lock();
    }
    if (!file_ || port < 0 || static_cast<size_t>(port) >= ports_.size()) return;
    Append(port, kind, bytes);
    Flush();
  } catch (...) {
  }
}

void ByteTrace::Append(int32_t port, char kind, std::string_view bytes) {
  const std::string ms = std::to_string(LogClock());
  line_.clear();
  if (droppedLines_ > 0) {
    line_ += "// " + ms + " " + std::to_string(droppedBytes_) + " bytes (" + std::to_string(droppedLines_) +
             " lines) not recorded here: the trace file did not keep up\n";
  }
  if (port != shownPort_) {
    line_ += ms + " @ ";
    AppendEscaped(line_, ports_[static_cast<size_t>(port)]);
    line_ += '\n';
  }
  size_t lines = 0;
  if (kind == '/') {
    line_ += "// " + ms + " ";
    line_ += bytes;
    line_ += '\n';
    lines = 1;
  } else {
    for (size_t at = 0; at < bytes.size(); ++lines) {
      const size_t lf = bytes.find('\n', at);
      const size_t end = lf == std::string_view::npos ? bytes.size() : lf + 1;
      line_ += ms;
      line_ += ' ';
      line_ += kind;
      line_ += ' ';
      AppendEscaped(line_, bytes.substr(at, end - at));
      line_ += '\n';
      at = end;
    }
  }
  if (pending_.size() + line_.size() > kPendingLimit) {
    if (kind != '/') droppedBytes_ += bytes.size();
    droppedLines_ += lines;
    return;
  }
  pending_ += line_;
  shownPort_ = port;
  droppedBytes_ = droppedLines_ = 0;
}

void ByteTrace::Flush() noexcept {
  size_t done = 0;
  while (done < pending_.size()) {
    const long n = file_->WriteSome(pending_.data() + done, pending_.size() - done);
    if (n < 0) {  // nothing more can go to this file
      file_.reset();
      pending_.clear();
      return;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  pending_.erase(0, done);
}

ByteTrace* ProcessTrace() noexcept {
  // Reader threads record until the unload hook has stopped them.
  static ProcessWide<std::unique_ptr<ByteTrace>> trace(OpenProcessTrace());
  return trace.Get().get();
}

int32_t TracePortId(std::u16string_view path) noexcept {
  try {
    ByteTrace* trace = ProcessTrace();
    std::string narrow;
    if (!trace || !plat::WideToMultiByte(plat::kCodePageUtf8, path, narrow)) return -1;
    return trace->PortId(narrow);
  } catch (...) {
    return -1;
  }
}

VYRA_HOT_PATH void TraceBytes(int32_t port, char kind, std::string_view bytes, TraceWait wait) noexcept {
  if (port < 0 || bytes.empty()) return;
  if (ByteTrace* trace = ProcessTrace()) trace->Record(port, kind, bytes, wait);
}

}  // namespace vyra
