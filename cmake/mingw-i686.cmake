# Cross build of the 32-bit Windows plug-in (Debian's g++-mingw-w64-i686-posix).
set(VYRA_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
