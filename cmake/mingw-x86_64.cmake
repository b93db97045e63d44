# Cross build of the 64-bit Windows plug-in (Debian's g++-mingw-w64-x86-64-posix): what the
# Wine stage runs where the kernel runs no 32-bit code.
set(VYRA_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
