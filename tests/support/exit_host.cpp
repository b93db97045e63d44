// A host that loads the module, brings a device to one situation and then simply ends:
// returns from main without CloseAll, so the process exit runs the exit handlers and the
// loader's finalisation as an ordinary third-party host's would.
//
// Usage: exit_host MODULE found|initialised|sampling|nodriver|comments
// Prints "leaving" just before main returns; exit status 0 then, 3 when the situation could
// not be reached, 4 when a comment reached the host's recording after its destruction.
// Discovery reads VYRA_SYSFS_ROOT / VYRA_DEV_ROOT from the environment. "comments" samples
// a branded monitor and leaves while the reader is inside the host's comment call.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "vyra/host_interfaces.h"

namespace {

struct Record {  // the host's command record, native pointer width
  char* text;
  unsigned textSize;
  int reserved0, argument, reserved1, value;
};

int Fail(const char* what) {
  std::printf("failed: %s\n", what);
  return 3;
}

// The host's side of the recording, one object behind every interface. A static built
// before the module is loaded, as a host's application objects are: the runtime destroys it
// at exit, after the exit handlers registered later.
class HostRecording final : public vyra::IHostControllingProxy,
                            public vyra::IHostApplication,
                            public vyra::IHostDocument,
                            public vyra::IRecordingData,
                            public vyra::IRecordingComments {
 public:
  ~HostRecording() { alive_ = false; }

  vyra::ComResult QueryInterface(const vyra::Guid& iid, void** out) override {
    if (iid == vyra::kIID_IHostApplication) *out = static_cast<vyra::IHostApplication*>(this);
    else if (iid == vyra::kIID_IHostDocument) *out = static_cast<vyra::IHostDocument*>(this);
    else if (iid == vyra::kIID_IRecordingData) *out = static_cast<vyra::IRecordingData*>(this);
    else if (iid == vyra::kIID_IRecordingComments) *out = static_cast<vyra::IRecordingComments*>(this);
    else return *out = nullptr, static_cast<vyra::ComResult>(0x80004002u);
    return 0;
  }
  uint32_t AddRef() override { return 2; }
  uint32_t Release() override { return 1; }
  vyra::ComResult GetHostObject(vyra::IUnknownBase** out) override {
    *out = static_cast<vyra::IHostApplication*>(this);
    return 0;
  }
  vyra::ComResult GetActiveDocument(vyra::IUnknownBase** out) override {
    *out = static_cast<vyra::IHostDocument*>(this);
    return 0;
  }
  vyra::ComResult GetRecordingData(int32_t, vyra::IRecordingData** out) override {
    *out = this;
    return 0;
  }
  vyra::ComResult GetChannelCount(int32_t, int32_t* out) override { return *out = 0, 0; }
  vyra::ComResult GetChannelTitle(uint32_t, int32_t, int32_t, const char16_t** out) override { return *out = nullptr, -1; }
  vyra::ComResult GetRecordCount(int32_t, int32_t* out) override { return *out = 1, 0; }
  vyra::ComResult GetSampleInterval(int32_t, int32_t, double*) override { return 0; }
  // The first comment takes a while, as a host's may: main leaves meanwhile.
  vyra::ComResult AddComment(int32_t, const int32_t*, const char16_t*, int32_t) override {
    if (!entered_.exchange(true)) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (!alive_) {
      static const char kDead[] = "a comment reached the host's recording after it was destroyed\n";
      (void)!write(STDERR_FILENO, kDead, sizeof kDead - 1);
      _exit(4);
    }
    return 0;
  }
  bool Entered() const { return entered_; }

 private:
  std::atomic<bool> alive_{true};
  std::atomic<bool> entered_{false};
};

HostRecording g_recording;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return Fail("usage");
  const char* situation = argv[2];
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!module) return Fail(dlerror());
  auto find = reinterpret_cast<int (*)(int*, const char*)>(dlsym(module, "FindDevice"));
  auto initialise = reinterpret_cast<int (*)(int)>(dlsym(module, "Initialise"));
  auto command = reinterpret_cast<int (*)(int, int, void*)>(dlsym(module, "DeviceCommand"));
  auto readLine = reinterpret_cast<int (*)(int, char*, int, int)>(dlsym(module, "ReadLine"));
  auto setProxy = reinterpret_cast<int (*)(int, void*)>(dlsym(module, "SetControllingProxy"));
  if (!find || !initialise || !command || !readLine || !setProxy) return Fail("exports");

  const bool comments = std::strcmp(situation, "comments") == 0;
  int index = -1;
  const bool found = find(&index, comments ? "BVLVYRA" : "Z800") == 1;
  if (std::strcmp(situation, "nodriver") == 0) {
    if (found) return Fail("found a device without the driver");
  } else if (!found) {
    return Fail("FindDevice");
  }
  const bool initialised = std::strcmp(situation, "initialised") == 0;
  const bool sampling = std::strcmp(situation, "sampling") == 0 || comments;
  if (comments) setProxy(index, static_cast<vyra::IHostControllingProxy*>(&g_recording));
  if ((initialised || sampling) && initialise(index) != 1) return Fail("Initialise");
  if (sampling) {
    Record r{nullptr, 0, 0, 0, 0, 0};
    if (command(index, 37, &r) != 1) return Fail("start sampling");
    char line[4096];
    if (readLine(index, line, sizeof line, 5000) != 1) return Fail("no data line");
    for (const auto t0 = std::chrono::steady_clock::now();
         comments && !g_recording.Entered() && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(20);)
      readLine(index, line, sizeof line, 200);
    if (comments && !g_recording.Entered()) return Fail("no comment");
  }
  std::printf("leaving\n");
  std::fflush(stdout);
  return 0;
}
