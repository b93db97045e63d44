// Cycle comments into the host's recording.
#include "device/host_document.h"

#include <cmath>
#include <string_view>
#include <utility>

#include "protocol/fields.h"
#include "vyra/host_interfaces.h"

namespace vyra {
namespace {

// One reference to a host interface, released when it goes.
template <typename T>
class HostRef {
 public:
  HostRef() = default;
  explicit HostRef(T* p) : p_(p) {}
  HostRef(const HostRef&) = delete;
  HostRef& operator=(const HostRef&) = delete;
  ~HostRef() { Reset(); }
  void Reset() {
    if (p_) std::exchange(p_, nullptr)->Release();
  }
  T* Get() const { return p_; }
  T* Detach() { return std::exchange(p_, nullptr); }
  // Out parameter for a call that hands over one reference.
  T** Out() {
    Reset();
    return &p_;
  }
  explicit operator bool() const { return p_ != nullptr; }
  T* operator->() const { return p_; }

 private:
  T* p_ = nullptr;
};

// Queries `from` for `iid`; the result owns the reference the query handed out, if any.
template <typename T>
HostRef<T> Query(IUnknownBase* from, const Guid& iid) {
  void* out = nullptr;
  if (from->QueryInterface(iid, &out) < 0) out = nullptr;
  return HostRef<T>(static_cast<T*>(out));
}

}  // namespace

void HostDocumentSlot::AddComment(const std::string& channelName, double samples, double period,
                                  const BVL::String& text) {
  IHostDocument* held;
  {
    std::lock_guard lock(mutex_);
    held = document_;
    if (!held) return;
    held->AddRef();
  }
  HostRef<IHostDocument> document(held);
  HostRef<IRecordingData> data;
  if (document->GetRecordingData(0, data.Out()) < 0) data.Reset();
  if (!data) return;
  auto comments = Query<IRecordingComments>(data.Get(), kIID_IRecordingComments);
  if (!comments) return;

  int32_t channelCount = 0;
  if (data->GetChannelCount(0, &channelCount) < 0) channelCount = 0;
  int32_t channel = -1;
  for (int32_t i = 0; i < channelCount; ++i) {
    const char16_t* title = nullptr;
    if (data->GetChannelTitle(kChannelTitleFlags, i, 0, &title) < 0 || !title) continue;
    BVL::String copy(title);
    if (std::string_view(copy.NarrowText()) == channelName) {
      channel = i;
      break;
    }
  }

  int32_t recordCount = 0;
  if (data->GetRecordCount(0, &recordCount) < 0) recordCount = 0;
  double interval = 1.0;
  data->GetSampleInterval(0, 0, &interval);

  // Waveform-channel samples to host sample positions. An interval the conversion cannot
  // use (zero, negative, not finite) leaves the position in waveform samples.
  double position = samples;
  if (std::isfinite(interval) && interval > 0) position = samples * (1 / ((interval * 1000000) / period));
  const int32_t pair[2] = {SaturateToInt32(position), recordCount - 1};
  comments->AddComment(channel, pair, text.c_str(), 0);
}

void HostDocumentSlot::Refresh() {
  Release();
  auto* proxy = static_cast<IHostControllingProxy*>(proxy_);
  if (!proxy) return;

  HostRef<IUnknownBase> hostObject;
  if (proxy->GetHostObject(hostObject.Out()) < 0) hostObject.Reset();
  if (!hostObject) return;
  auto application = Query<IHostApplication>(hostObject.Get(), kIID_IHostApplication);
  hostObject.Reset();
  if (!application) return;

  HostRef<IUnknownBase> active;
  if (application->GetActiveDocument(active.Out()) < 0) active.Reset();
  if (!active) return;
  auto document = Query<IHostDocument>(active.Get(), kIID_IHostDocument);
  active.Reset();
  application.Reset();
  if (!document) return;

  IHostDocument* replaced;
  {
    std::lock_guard lock(mutex_);
    replaced = std::exchange(document_, document.Detach());
  }
  if (replaced) replaced->Release();  // only when two starts overlapped
}

void HostDocumentSlot::Release() {
  IHostDocument* old;
  {
    std::lock_guard lock(mutex_);
    old = std::exchange(document_, nullptr);
  }
  if (old) old->Release();
}


}  // namespace vyra
