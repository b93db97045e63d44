#pragma once
// The host framework's COM interfaces as the plug-in uses them. The framework lives in
// "Rop.dll" beside the host's executable; a stand-in for tests implements the same.
//
// Contract:
// - "Rop.dll" exports DllGetClassObject. Asked for kCLSID_Framework with kIID_IUnknown it
//   returns the framework's class object, which the plug-in registers with COM for the
//   process (when the host has not done so already).
// - That class object is also the log object: asked (through COM, class kCLSID_FrameworkLog,
//   which is the same class) for kIID_IFrameworkLog it returns itself as IFrameworkLog, and
//   QueryInterface for kIID_IFrameworkLogClock gives IFrameworkLogClock.
// - IFrameworkLog::WriteEntry receives one finished entry. The plug-in holds no extra
//   reference during the call; a log that keeps the text must AddRef the string object.
//   The string object is the plug-in's IBVLString: its text (UTF-16, NUL-terminated) lies
//   24 bytes after the object's address, and the 32-bit word just before the text is its
//   length in units, terminator included.
// - IFrameworkLogClock::SetStartTick is called once with the address of the plug-in's log
//   start tick (a GetTickCount value); the framework may read it or store its own there.
#include <cstdint>

#include "vyra/com.h"

struct IBVLString;

namespace vyra {

// {6F8278AE-2E9F-411D-AF94-D789E0673E42}
inline constexpr Guid kCLSID_Framework = {
    0x6F8278AE, 0x2E9F, 0x411D, {0xAF, 0x94, 0xD7, 0x89, 0xE0, 0x67, 0x3E, 0x42}};
inline constexpr Guid kCLSID_FrameworkLog = kCLSID_Framework;
// {08E78437-6FBB-4638-8475-709861789123}
inline constexpr Guid kIID_IFrameworkLog = {
    0x08E78437, 0x6FBB, 0x4638, {0x84, 0x75, 0x70, 0x98, 0x61, 0x78, 0x91, 0x23}};
// {050ECAD0-034D-4C03-89F9-CE201F889369}
inline constexpr Guid kIID_IFrameworkLogClock = {
    0x050ECAD0, 0x034D, 0x4C03, {0x89, 0xF9, 0xCE, 0x20, 0x1F, 0x88, 0x93, 0x69}};

struct IFrameworkLog : IUnknownBase {
  virtual ComResult VYRA_COM WriteEntry(IBVLString* text) = 0;
};

struct IFrameworkLogClock : IUnknownBase {
  virtual ComResult VYRA_COM SetStartTick(uint32_t* startTick) = 0;
};

}  // namespace vyra
