#include "support/format_stream.h"

namespace BVL {

OFormatStream::OFormatStream(const String& format, OStringStream& out) : format_(format), out_(out) {
  argMap_.fill(-1);
  Parse();
}

void OFormatStream::Parse() {
  std::u16string_view t = format_.View();
  bool runEscape = false;
  size_t p = 0;
  while (p < t.size()) {
    if (t[p] != u'%') {
      ++p;
      continue;
    }
    if (p + 1 < t.size() && t[p + 1] == u'%') {
      runEscape = true;
      p += 2;
      continue;
    }
    size_t q = p + 1;
    int n = 0;
    while (q < t.size() && t[q] >= u'0' && t[q] <= u'9') {
      if (n < 1000) n = n * 10 + (t[q] - u'0');  // bounded: large numbers are unsupported anyway
      ++q;
    }
    if (n == 0) {  // no number, or 0: the '%' is text
      ++p;
      continue;
    }
    if (q < t.size() && t[q] == u'\\') ++q;
    if (n > highest_) highest_ = n;
    if (n <= kMaxPlaceholders && count_ < kMaxPlaceholders) {
      argMap_[n - 1] = count_;
      table_[count_] = Placeholder{p, q, 0, 0, runEscape};
      ++count_;
    }
    runEscape = false;
    p = q;
  }
  trailingEscape_ = runEscape;
  if (count_ == 0) out_ << t;
}

void OFormatStream::ArgumentDone() {
  size_t pos = collector_.Position();
  if (nextArg_ < kMaxPlaceholders && argMap_[nextArg_] >= 0) {
    Placeholder& ph = table_[argMap_[nextArg_]];
    ph.argOffset = argStart_;
    ph.argLength = pos - argStart_;
  }
  argStart_ = pos;
  ++nextArg_;
  if (count_ > 0 && nextArg_ == highest_) WriteOutput();
}

void OFormatStream::WriteRun(size_t from, size_t to, bool unescape) {
  std::u16string_view run = format_.View().substr(from, to - from);
  if (!unescape) {
    out_ << run;
    return;
  }
  std::u16string text;
  text.reserve(run.size());
  for (size_t i = 0; i < run.size(); ++i) {
    text += run[i];
    if (run[i] == u'%' && i + 1 < run.size() && run[i + 1] == u'%') ++i;
  }
  out_ << std::u16string_view(text);
}

void OFormatStream::WriteOutput() {
  std::u16string_view args = collector_.View();
  size_t scan = 0;
  for (int i = 0; i < count_; ++i) {
    const Placeholder& ph = table_[i];
    WriteRun(scan, ph.start, ph.runHasEscape);
    out_ << args.substr(ph.argOffset, ph.argLength);
    scan = ph.end;
  }
  WriteRun(scan, format_.View().size(), trailingEscape_);
}

}  // namespace BVL
