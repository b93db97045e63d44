// A host that loads the module, brings a device to one situation and then simply ends:
// returns from main without CloseAll, so the process exit runs the exit handlers and the
// loader's finalisation as an ordinary third-party host's would.
//
// Usage: exit_host MODULE found|initialised|sampling|nodriver
// Prints "leaving" just before main returns; exit status 0 then, 3 when the situation could
// not be reached. Discovery reads VYRA_SYSFS_ROOT / VYRA_DEV_ROOT from the environment.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

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
  if (!find || !initialise || !command || !readLine) return Fail("exports");

  int index = -1;
  const bool found = find(&index, "Z800") == 1;
  if (std::strcmp(situation, "nodriver") == 0) {
    if (found) return Fail("found a device without the driver");
  } else if (!found) {
    return Fail("FindDevice");
  }
  const bool initialised = std::strcmp(situation, "initialised") == 0;
  const bool sampling = std::strcmp(situation, "sampling") == 0;
  if ((initialised || sampling) && initialise(index) != 1) return Fail("Initialise");
  if (sampling) {
    Record r{nullptr, 0, 0, 0, 0, 0};
    if (command(index, 37, &r) != 1) return Fail("start sampling");
    char line[4096];
    if (readLine(index, line, sizeof line, 5000) != 1) return Fail("no data line");
  }
  std::printf("leaving\n");
  std::fflush(stdout);
  return 0;
}
