// Waveform uploads of the branded monitor and the comments that mark each pressure cycle
// in the host's recording.
//
// The waveform channels ("O-Cuff", "VPR") are kept in step with the sample lines: every
// waveform value fills two samples per channel, and when no upload is running the channels
// are padded with zeros so they never lag the sample lines by more than 20 samples.
//
// hostDocument is replaced by the host thread that starts sampling while the reader thread
// may be posting a comment. hostDocumentMutex guards only the pointer: a user takes its own
// reference (AddRef) under the lock and makes every other call into the host after letting
// go of it, so a host that calls back into the plug-in can never deadlock on it, and a
// document being replaced stays alive until the comment that uses it is done.
#include <cmath>
#include <cstdint>
#include <string_view>
#include <utility>

#include "protocol/fields.h"
#include "serial/dura_serial.h"
#include "vyra/host_interfaces.h"

namespace vyra {
namespace {

constexpr int32_t kMaxWaveformLag = 20;           // sample lines the waveform channels may trail by
constexpr int32_t kValuesAfterUnfinished = 750;   // upload size assumed after a cut-off upload
constexpr int32_t kValuesAfterOverrun = 1000;     // upload size assumed after a block beyond it

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

int32_t FieldInt(BVL::String& field) { return ReadInt(field.NarrowText()); }

int32_t DoubledIndex(BVL::String& field) { return SaturateToInt32(2.0 * FieldInt(field)); }

}  // namespace

HResult DuraSerial::ParseWaveformInfo(const BVL::String& line) {
  std::vector<BVL::String> fields = SplitFields(line);
  if (fields.size() < 12) return kE_FAIL;
  expectedWaveformValues.store(FieldInt(fields[2]), std::memory_order_relaxed);
  return kS_OK;
}

void DuraSerial::ServiceWaveform() {
  if (!isBranded) return;
  if (waveformInProgress.load(std::memory_order_relaxed)) {
    if (clock() < lastWaveformTime.load(std::memory_order_relaxed) + waveformTimeout) return;
    waveformInProgress.store(false, std::memory_order_relaxed);
    PostComment(0, BVL::String(u"error: incomplete waveform upload"));
  }
  ChannelRecord* cuff = Channel(cuffChannel.load(std::memory_order_relaxed));
  ChannelRecord* vpr = Channel(vprChannel.load(std::memory_order_relaxed));
  while (sampleLineBacklog.load(std::memory_order_relaxed) > kMaxWaveformLag) {
    if (cuff) cuff->PushValue(0.0);
    if (vpr) vpr->PushValue(0.0);
    waveformSampleCount.fetch_add(1, std::memory_order_relaxed);
    sampleLineBacklog.fetch_sub(1, std::memory_order_relaxed);
  }
}

HResult DuraSerial::HandleWaveformLine(const BVL::String& line) {
  if (!isBranded) return kS_OK;
  std::vector<BVL::String> fields = SplitFields(line);
  // A block without its index cannot be placed in the upload; it is ignored.
  if (fields.size() < 2) return kS_OK;
  lastWaveformTime.store(clock(), std::memory_order_relaxed);
  const int64_t n = static_cast<int64_t>(fields.size());
  waveformInProgress.store(true, std::memory_order_relaxed);

  const int32_t start = FieldInt(fields[1]);
  const int32_t expected = expectedWaveformValues.load(std::memory_order_relaxed);
  if (start == 0) {
    cycleStartSample.store(waveformSampleCount.load(std::memory_order_relaxed), std::memory_order_relaxed);
    cycleSeen.store(true, std::memory_order_relaxed);
  } else if (static_cast<int64_t>(start) == static_cast<int64_t>(expected) - (n - 2)) {
    waveformInProgress.store(false, std::memory_order_relaxed);
  } else if (start >= expected) {
    expectedWaveformValues.store(kValuesAfterOverrun, std::memory_order_relaxed);
  }

  ChannelRecord* cuff = Channel(cuffChannel.load(std::memory_order_relaxed));
  ChannelRecord* vpr = Channel(vprChannel.load(std::memory_order_relaxed));
  for (int64_t i = 2; i < n; ++i) {
    ChannelRecord* target = (i % 2 != 0) ? vpr : cuff;
    if (target) {
      target->PushValue(static_cast<double>(ParseNumber(fields[i])));
      target->RepeatLastValue();
    }
    waveformSampleCount.fetch_add(1, std::memory_order_relaxed);
    sampleLineBacklog.fetch_sub(1, std::memory_order_relaxed);
  }
  return kS_OK;
}

HResult DuraSerial::HandleMeasurementLine(const BVL::String& line) {
  if (!isBranded) return kS_OK;
  if (waveformInProgress.exchange(false, std::memory_order_relaxed)) {
    // The result of a cut-off upload; a second one in a row is dropped.
    if (expectedWaveformValues.load(std::memory_order_relaxed) == kValuesAfterUnfinished) return kS_OK;
    expectedWaveformValues.store(kValuesAfterUnfinished, std::memory_order_relaxed);
  }
  std::vector<BVL::String> fields = SplitFields(line);
  if (fields.size() < 16) return kE_FAIL;

  if (cycleSeen.load(std::memory_order_relaxed)) {
    if (FieldInt(fields[12]) == 0) {
      BVL::String systolic(u"Systolic BP = ");
      systolic += fields[7];
      systolic += u" mmHg";
      PostComment(DoubledIndex(fields[14]), systolic);
      BVL::String diastolic(u"Diastolic BP = ");
      diastolic += fields[6];
      diastolic += u" mmHg";
      PostComment(DoubledIndex(fields[13]), diastolic);
    } else {
      PostComment(0, BVL::String(u"error: failed to calcuate BP values"));
    }
  } else {
    PostComment(waveformSampleCount.load(std::memory_order_relaxed),
                BVL::String(u"note: waveform cycle started prior to sampling"));
  }
  return kS_OK;
}

void DuraSerial::PostComment(int32_t offset, const BVL::String& text) {
  const ChannelRecord* vpr = Channel(vprChannel.load(std::memory_order_relaxed));
  if (!vpr || !vpr->enabled.load(std::memory_order_relaxed)) return;
  if (commentObserver)
    commentObserver(SaturateToInt32(static_cast<double>(offset) + cycleStartSample.load(std::memory_order_relaxed)),
                    text);

  IHostDocument* held;
  {
    std::lock_guard lock(hostDocumentMutex);
    held = hostDocument;
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
    if (std::string_view(copy.NarrowText()) == vpr->name) {
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
  const double samples = static_cast<double>(offset) + cycleStartSample.load(std::memory_order_relaxed);
  // Waveform samples keep pace with the sample lines, which arrive at the current upload
  // period; the record's own period dates from its creation and is stale once the host
  // has changed the rate.
  const int32_t current = uploadPeriod.load(std::memory_order_relaxed);
  const double period = current > 0 ? current : vpr->samplePeriod;
  double position = samples;
  if (std::isfinite(interval) && interval > 0) position = samples * (1 / ((interval * 1000000) / period));
  const int32_t pair[2] = {SaturateToInt32(position), recordCount - 1};
  comments->AddComment(channel, pair, text.c_str(), 0);
}

void DuraSerial::RefreshHostDocument() {
  ReleaseHostDocument();
  auto* proxy = static_cast<IHostControllingProxy*>(controllingProxy);
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
    std::lock_guard lock(hostDocumentMutex);
    replaced = std::exchange(hostDocument, document.Detach());
  }
  if (replaced) replaced->Release();  // only when two starts overlapped
}

void DuraSerial::ReleaseHostDocument() {
  IHostDocument* old;
  {
    std::lock_guard lock(hostDocumentMutex);
    old = std::exchange(hostDocument, nullptr);
  }
  if (old) old->Release();
}

}  // namespace vyra
