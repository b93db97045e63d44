#include "host_recording.h"

#include <utility>

namespace vyra::host {

namespace {

constexpr ComResult kE_NOINTERFACE = static_cast<ComResult>(0x80004002u);
constexpr ComResult kE_POINTER = static_cast<ComResult>(0x80004003u);
constexpr ComResult kE_INVALIDARG = static_cast<ComResult>(0x80070057u);

std::vector<std::u16string> WidenAll(const std::vector<std::string>& titles) {
  std::vector<std::u16string> wide;
  for (const auto& t : titles) wide.push_back(Utf8ToUtf16(t));
  return wide;
}

}  // namespace

std::string Utf16ToUtf8(const char16_t* text) {
  std::string out;
  if (!text) return out;
  for (const char16_t* p = text; *p; ++p) {
    char32_t c = *p;
    if (c >= 0xD800 && c < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
      ++p;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;  // a lone surrogate
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    if (extra < 0 || i + static_cast<size_t>(extra) >= text.size()) {
      if (extra != 0) {  // a stray or cut-off sequence
        out += u'\uFFFD';
        ++i;
        continue;
      }
    }
    char32_t c = extra == 0 ? b : b & (0x3F >> extra);
    bool valid = true;
    for (int k = 1; k <= extra; ++k) {
      unsigned char n = static_cast<unsigned char>(text[i + k]);
      if ((n & 0xC0) != 0x80) valid = false;
      c = (c << 6) | (n & 0x3F);
    }
    if (!valid) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

HostRecording::HostRecording(const std::vector<std::string>& channelTitles, double sampleIntervalSeconds)
    : titles_(WidenAll(channelTitles)), interval_(sampleIntervalSeconds) {
  proxy_.owner = application_.owner = document_.owner = data_.owner = comments_.owner = this;
}

std::vector<Comment> HostRecording::TakeComments() {
  std::lock_guard lock(mutex_);
  return std::exchange(queue_, {});
}

ComResult HostRecording::ProxyObject::QueryInterface(const Guid& iid, void** out) {
  if (!out) return kE_POINTER;
  *out = nullptr;
  if (iid == kIID_IUnknown || iid == kIID_IHostControllingProxy) return owner->HandOut(this, out);
  return kE_NOINTERFACE;
}

ComResult HostRecording::ProxyObject::GetHostObject(IUnknownBase** out) {
  if (!out) return kE_POINTER;
  owner->application_.AddRef();
  *out = &owner->application_;
  return 0;
}

ComResult HostRecording::ApplicationObject::QueryInterface(const Guid& iid, void** out) {
  if (!out) return kE_POINTER;
  *out = nullptr;
  if (iid == kIID_IUnknown || iid == kIID_IHostApplication) return owner->HandOut(this, out);
  return kE_NOINTERFACE;
}

ComResult HostRecording::ApplicationObject::GetActiveDocument(IUnknownBase** out) {
  if (!out) return kE_POINTER;
  owner->document_.AddRef();
  *out = &owner->document_;
  return 0;
}

ComResult HostRecording::DocumentObject::QueryInterface(const Guid& iid, void** out) {
  if (!out) return kE_POINTER;
  *out = nullptr;
  if (iid == kIID_IUnknown || iid == kIID_IHostDocument) return owner->HandOut(this, out);
  return kE_NOINTERFACE;
}

ComResult HostRecording::DocumentObject::GetRecordingData(int32_t, IRecordingData** out) {
  if (!out) return kE_POINTER;
  owner->data_.AddRef();
  *out = &owner->data_;
  return 0;
}

ComResult HostRecording::DataObject::QueryInterface(const Guid& iid, void** out) {
  if (!out) return kE_POINTER;
  *out = nullptr;
  if (iid == kIID_IUnknown || iid == kIID_IRecordingData) return owner->HandOut(this, out);
  if (iid == kIID_IRecordingComments) return owner->HandOut(&owner->comments_, out);
  return kE_NOINTERFACE;
}

ComResult HostRecording::DataObject::GetChannelCount(int32_t, int32_t* out) {
  if (!out) return kE_POINTER;
  *out = static_cast<int32_t>(owner->titles_.size());
  return 0;
}

ComResult HostRecording::DataObject::GetChannelTitle(uint32_t, int32_t channel, int32_t, const char16_t** out) {
  if (!out) return kE_POINTER;
  *out = nullptr;
  if (channel < 0 || static_cast<size_t>(channel) >= owner->titles_.size()) return kE_INVALIDARG;
  *out = owner->titles_[static_cast<size_t>(channel)].c_str();  // immutable for the object's life
  return 0;
}

ComResult HostRecording::DataObject::GetRecordCount(int32_t, int32_t* out) {
  if (!out) return kE_POINTER;
  *out = 1;
  return 0;
}

ComResult HostRecording::DataObject::GetSampleInterval(int32_t, int32_t, double* out) {
  if (!out) return kE_POINTER;
  *out = owner->interval_;
  return 0;
}

ComResult HostRecording::CommentsObject::QueryInterface(const Guid& iid, void** out) {
  if (!out) return kE_POINTER;
  *out = nullptr;
  if (iid == kIID_IUnknown || iid == kIID_IRecordingComments) return owner->HandOut(this, out);
  if (iid == kIID_IRecordingData) return owner->HandOut(&owner->data_, out);
  return kE_NOINTERFACE;
}

ComResult HostRecording::CommentsObject::AddComment(int32_t channel, const int32_t* position,
                                                    const char16_t* text, int32_t) {
  if (!position || !text) return kE_POINTER;
  Comment c;
  c.channel = channel;
  if (channel >= 0 && static_cast<size_t>(channel) < owner->titles_.size()) {
    c.channelName = Utf16ToUtf8(owner->titles_[static_cast<size_t>(channel)].c_str());
  }
  c.position = position[0];
  c.record = position[1];
  c.seconds = position[0] * owner->interval_;
  c.text = Utf16ToUtf8(text);
  std::lock_guard lock(owner->mutex_);
  owner->queue_.push_back(std::move(c));
  return 0;
}

}  // namespace vyra::host
