// The reader thread's life: start, wait on the line, read and cut, stop and park.
#include "serial/serial_link.h"

#include <chrono>

#include "platform/hot_path.h"
#include "support/hot_path.h"

namespace vyra {

SerialLink::~SerialLink() { StopReader(-1); }

bool SerialLink::StartReader() {
  std::shared_ptr<plat::SerialPort> line = Line();
  if (!line) return false;
  received_.Clear();
  auto fresh = std::make_unique<Reader>();
  // Without its stop event a reader could never be stopped, and every later close or
  // destructor would wait for it for good.
  if (!fresh->stop.Valid() || !fresh->end.Valid()) return false;
  fresh->line = std::move(line);
  Reader* r = fresh.get();
  reader_ = std::move(fresh);
  try {
    r->thread = std::thread([this, r] {
      r->end.Enter();
      plat::RaiseCurrentThreadPriority();
      ReaderLoop();
      if (plat::InLoaderLockUnload()) r->end.Park();  // never returns: platform/thread_end.h
      std::lock_guard l(r->doneMutex);
      r->done = true;
      r->doneCv.notify_all();
    });
  } catch (...) {
    reader_.reset();
    return false;
  }
  return true;
}

void SerialLink::StopReader(int waitMs) {
  if (!reader_) return;
  Reader& r = *reader_;
  if (plat::InLoaderLockUnload()) {
    EndReaderForUnload(NowMs());  // the unload hook has waited already
    return;
  }
  if (!r.stopSignalled) {
    r.stopSignalled = true;
    r.stop.Set();
  } else if (waitMs > 0) {
    waitMs = 0;  // a bounded wait was already spent on this thread
  }
  bool ended;
  {
    std::unique_lock l(r.doneMutex);
    if (waitMs < 0)
      r.doneCv.wait(l, [&] { return r.done; });
    else
      r.doneCv.wait_for(l, std::chrono::milliseconds(waitMs), [&] { return r.done; });
    ended = r.done;
  }
  if (!ended) return;  // still running: the Reader (and the line it holds) stays
  if (r.thread.joinable()) r.thread.join();
  reader_.reset();
}

void SerialLink::SignalReaderStop() {
  if (reader_ && !reader_->stopSignalled) {
    reader_->stopSignalled = true;
    reader_->stop.Set();
  }
}

bool SerialLink::EndReaderForUnload(int64_t deadlineMs) {
  if (!reader_) return true;
  SignalReaderStop();
  // Neither joined nor waited for without limit: the reader parks and is ended there, or its
  // thread has ended. One that gets to neither by the deadline is left running, and with it
  // the receiver and everything it reaches.
  const int64_t left = deadlineMs - NowMs();
  if (!reader_->end.EndForUnload(left > 0 ? static_cast<int>(left) : 0)) {
    readerLeftRunning_.store(true, std::memory_order_relaxed);
    return false;
  }
  reader_->thread.detach();
  reader_.reset();
  return true;
}

VYRA_HOT_PATH void SerialLink::ReaderLoop() {
  // `reader_` is replaced only after this thread has been joined.
  Reader* r = reader_.get();
  if (!r || !r->line) return;
  try {
    for (;;) {
      auto result = r->line->WaitReadable(r->stop, r->line->IdleWaitMs());
      if (result == plat::SerialPort::WaitResult::Stopped) return;
      if (result == plat::SerialPort::WaitResult::Timeout) continue;
      if (result == plat::SerialPort::WaitResult::Readable) {
        // A paced stream wakes this thread to each line with the path gone cold.
        plat::WarmHotPath();
        ReceivePass();
        if (!r->lineFailed) continue;
      }
      break;
    }
  } catch (...) {
  }
  // The line has failed (or the thread could not go on): nothing more will arrive, so park
  // until told to stop rather than spin on a dead descriptor.
  try {
    receiver_.LineLost();
  } catch (...) {
  }
  r->stop.Wait(-1);
}

VYRA_HOT_PATH HResult SerialLink::ReceivePass() {
  if (Reader* r = reader_.get(); r && r->line) {
    // Read straight into the buffer, behind what it holds.
    char* space = received_.Space();
    long n = r->line->ReadQueued(space, static_cast<size_t>(received_.Free()));
    TraceReceived(space, n);
    if (n < 0)
      r->lineFailed = true;
    else
      received_.Filled(static_cast<int>(n));
  }
  CutResult cut = CutLines(received_, [this](const char* bytes, int length) -> int32_t {
    try {
      return receiver_.Line(bytes, length);
    } catch (...) {
      return kE_FAIL;
    }
  });
  receiver_.PassEnd(cut.dispatched);
  return cut.status;
}

}  // namespace vyra
