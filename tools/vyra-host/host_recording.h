#pragma once
// The host's recording as the plug-in sees it: the controlling proxy handed over with
// SetControllingProxy and the application, document, data and comment objects behind it.
// Comments arrive on the device's reader thread and are queued for the host's thread.
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "stream_data.h"
#include "vyra/host_interfaces.h"

namespace vyra::host {

std::string Utf16ToUtf8(const char16_t* text);
std::u16string Utf8ToUtf16(std::string_view text);

class HostRecording {
 public:
  // Titles of the recording's channels, in host channel order (channel n is title n - 1).
  HostRecording(const std::vector<std::string>& channelTitles, double sampleIntervalSeconds);
  HostRecording(const HostRecording&) = delete;
  HostRecording& operator=(const HostRecording&) = delete;

  // What SetControllingProxy takes.
  void* Proxy() { return static_cast<IHostControllingProxy*>(&proxy_); }
  std::vector<Comment> TakeComments();
  // References the plug-in took and has not released: 0 once every device is closed.
  long OutstandingReferences() const { return references_.load(); }

 private:
  template <typename Interface>
  struct Object : Interface {
    HostRecording* owner = nullptr;
    uint32_t VYRA_COM AddRef() override { return static_cast<uint32_t>(++owner->references_ + 1); }
    uint32_t VYRA_COM Release() override { return static_cast<uint32_t>(--owner->references_ + 1); }
  };
  struct ProxyObject : Object<IHostControllingProxy> {
    ComResult VYRA_COM QueryInterface(const Guid& iid, void** out) override;
    ComResult VYRA_COM GetHostObject(IUnknownBase** out) override;
  };
  struct ApplicationObject : Object<IHostApplication> {
    ComResult VYRA_COM QueryInterface(const Guid& iid, void** out) override;
    ComResult VYRA_COM GetActiveDocument(IUnknownBase** out) override;
  };
  struct DocumentObject : Object<IHostDocument> {
    ComResult VYRA_COM QueryInterface(const Guid& iid, void** out) override;
    ComResult VYRA_COM GetRecordingData(int32_t reserved, IRecordingData** out) override;
  };
  struct CommentsObject : Object<IRecordingComments> {
    ComResult VYRA_COM QueryInterface(const Guid& iid, void** out) override;
    ComResult VYRA_COM AddComment(int32_t channel, const int32_t* position, const char16_t* text,
                                  int32_t reserved) override;
  };
  struct DataObject : Object<IRecordingData> {
    ComResult VYRA_COM QueryInterface(const Guid& iid, void** out) override;
    ComResult VYRA_COM GetChannelCount(int32_t reserved, int32_t* out) override;
    ComResult VYRA_COM GetChannelTitle(uint32_t flags, int32_t channel, int32_t reserved,
                                       const char16_t** out) override;
    ComResult VYRA_COM GetRecordCount(int32_t reserved, int32_t* out) override;
    ComResult VYRA_COM GetSampleInterval(int32_t reserved1, int32_t reserved2, double* out) override;
  };

  // Hands `object` out through `out` with one reference.
  template <typename T>
  ComResult HandOut(T* object, void** out) {
    object->AddRef();
    *out = object;
    return 0;
  }

  ProxyObject proxy_;
  ApplicationObject application_;
  DocumentObject document_;
  DataObject data_;
  CommentsObject comments_;
  const std::vector<std::u16string> titles_;
  const double interval_;
  std::atomic<long> references_{0};
  std::mutex mutex_;
  std::vector<Comment> queue_;
};

}  // namespace vyra::host
