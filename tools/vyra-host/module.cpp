#include "module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

namespace vyra::host {

namespace {

template <typename F>
bool Resolve(void* handle, const char* name, F& out, std::string& missing) {
  void* p = dlsym(handle, name);
  if (!p) {
    missing += missing.empty() ? name : std::string(", ") + name;
    return false;
  }
  out = reinterpret_cast<F>(p);
  return true;
}

}  // namespace

Module::~Module() {
  // The library stays mapped until the process ends: a host that is about to exit gains
  // nothing by unloading it, and a reader thread that outlived CloseAll would crash in
  // unmapped code. Devices are closed by CloseAll before this point.
}

bool Module::Load(const std::string& path, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    error = "module not found: " + path + " (build it, or pass --module PATH)";
    return false;
  }
  dlerror();
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* why = dlerror();
    error = "module cannot be loaded: " + std::string(why ? why : path);
    return false;
  }
  std::string missing;
  Resolve(handle_, "GetDeviceClassInfo", x_.GetDeviceClassInfo, missing);
  Resolve(handle_, "FindDevice", x_.FindDevice, missing);
  Resolve(handle_, "Initialise", x_.Initialise, missing);
  Resolve(handle_, "CloseAll", x_.CloseAll, missing);
  Resolve(handle_, "IsFailed", x_.IsFailed, missing);
  Resolve(handle_, "CanUseBaudRate", x_.CanUseBaudRate, missing);
  Resolve(handle_, "SetBaudRate", x_.SetBaudRate, missing);
  Resolve(handle_, "GetBaudRate", x_.GetBaudRate, missing);
  Resolve(handle_, "ReadLine", x_.ReadLine, missing);
  Resolve(handle_, "WriteBuffer", x_.WriteBuffer, missing);
  Resolve(handle_, "ReadBuffer", x_.ReadBuffer, missing);
  Resolve(handle_, "ReadBuffSize", x_.ReadBuffSize, missing);
  Resolve(handle_, "FlushReadBuffer", x_.FlushReadBuffer, missing);
  Resolve(handle_, "GetUniqueID", x_.GetUniqueID, missing);
  Resolve(handle_, "DeviceCommand", x_.DeviceCommand, missing);
  Resolve(handle_, "GetLastErrorMsg", x_.GetLastErrorMsg, missing);
  Resolve(handle_, "InitOnMainThread", x_.InitOnMainThread, missing);
  Resolve(handle_, "SetControllingProxy", x_.SetControllingProxy, missing);
  if (!missing.empty()) {
    error = "module " + path + " is not a VYRA plug-in: missing exports " + missing;
    dlclose(handle_);
    handle_ = nullptr;
    x_ = {};
    return false;
  }
  return true;
}

std::string Module::LastError(int index) const {
  int length = x_.GetLastErrorMsg(index, nullptr);
  if (length <= 1) return {};
  // The plug-in writes at most the length it reported, NUL included.
  std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
  x_.GetLastErrorMsg(index, buffer.data());
  buffer.back() = '\0';
  return std::string(buffer.data());
}

bool Module::Text(int index, int code, int argument, std::string& text) const {
  std::vector<char> buffer(4096, '\0');
  CommandRecord r;
  r.text = buffer.data();
  r.textSize = static_cast<uint32_t>(buffer.size() - 1);  // the last byte stays a NUL
  r.argument = argument;
  bool ok = x_.DeviceCommand(index, code, &r) != 0;
  text.assign(buffer.data());
  return ok;
}

bool Module::Number(int index, int code, int argument, int32_t& value) const {
  CommandRecord r;
  r.argument = argument;
  bool ok = x_.DeviceCommand(index, code, &r) != 0;
  value = r.value;
  return ok;
}

bool Module::Run(int index, int code, int argument) const {
  CommandRecord r;
  r.argument = argument;
  return x_.DeviceCommand(index, code, &r) != 0;
}

std::string DefaultModulePath() {
  namespace fs = std::filesystem;
  std::error_code ec;
#ifdef VYRA_HOST_DEFAULT_MODULE
  if (fs::exists(VYRA_HOST_DEFAULT_MODULE, ec)) return VYRA_HOST_DEFAULT_MODULE;
#endif
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  const char* name = "VYRA(8u).vmcdll";
  if (!ec) {
    // Build tree: <build>/tools/vyra-host/vyra-host beside <build>/VYRA(8u).vmcdll;
    // an installed copy keeps the module beside the executable.
    for (fs::path candidate : {exe.parent_path() / name, exe.parent_path().parent_path().parent_path() / name}) {
      if (fs::exists(candidate, ec)) return candidate.string();
    }
    return (exe.parent_path() / name).string();
  }
  return name;
}

}  // namespace vyra::host
