#pragma once
// The host document that cycle comments go to. It is replaced by the host thread that starts
// sampling while the reader thread may be posting a comment: the mutex guards only the
// pointer; a user takes its own reference (AddRef) under it and makes every other call into
// the host after letting go, so a host that calls back into the plug-in can never deadlock
// on it, and a document being replaced stays alive until the comment that uses it is done.
#include <cstdint>
#include <mutex>
#include <string>

#include "support/bvl_string.h"

namespace vyra {

struct IHostDocument;  // include/vyra/host_interfaces.h

class HostDocumentSlot {
 public:
  HostDocumentSlot() = default;
  HostDocumentSlot(const HostDocumentSlot&) = delete;
  HostDocumentSlot& operator=(const HostDocumentSlot&) = delete;
  ~HostDocumentSlot() { Release(); }

  // The host's controlling proxy (host_interfaces.h), set through the exports.
  void SetProxy(void* proxy) { proxy_ = proxy; }
  // Takes the host's active document (host thread, at the start of sampling).
  void Refresh();
  void Release();
  // A comment on the channel titled `channel`, `samples` waveform samples into sampling,
  // which run at `periodUs`.
  void AddComment(const std::string& channel, double samples, double periodUs, const BVL::String& text);

 private:
  void* proxy_ = nullptr;
  std::mutex mutex_;
  IHostDocument* document_ = nullptr;  // under mutex_
};

}  // namespace vyra
