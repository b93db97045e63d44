// No loader lock on POSIX: the unload hook stops and joins readers as CloseAll does.
#include <cstdlib>

#include "platform/thread_end.h"

namespace vyra::plat {

void BeginLoaderLockUnload() noexcept {}
bool InLoaderLockUnload() noexcept { return false; }
void KeepModuleLoaded() noexcept {}

ThreadEnd::ThreadEnd() = default;
ThreadEnd::~ThreadEnd() = default;
bool ThreadEnd::Valid() const { return true; }
void ThreadEnd::Enter() noexcept {}
void ThreadEnd::Park() noexcept { std::abort(); }  // never called: InLoaderLockUnload is false
bool ThreadEnd::EndForUnload(int) noexcept { return false; }

}  // namespace vyra::plat
