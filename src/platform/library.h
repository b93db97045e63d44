#pragma once
// Run-time loading of a shared library (LoadLibraryW / dlopen).
#include <string>

namespace vyra::plat {

class Library {
 public:
  Library() = default;
  ~Library() { Unload(); }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool Load(const std::u16string& path);
  void* Symbol(const char* name) const;
  void Unload();
  bool IsLoaded() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
};

}  // namespace vyra::plat
