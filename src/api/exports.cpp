// The plug-in's exported entry points (skeleton: every export returns its default).
#include <cstdint>

#if defined(_WIN32)
#define VYRA_EXPORT extern "C"
#else
#define VYRA_EXPORT extern "C" __attribute__((visibility("default")))
#endif

VYRA_EXPORT int GetDeviceClassInfo(void*) { return 0; }
VYRA_EXPORT int FindDevice(int*, const char*) { return 0; }
VYRA_EXPORT int Initialise(int) { return 0; }
VYRA_EXPORT int CloseAll() { return 1; }
VYRA_EXPORT int IsFailed(int) { return 1; }
VYRA_EXPORT int CanUseBaudRate(int, int) { return 0; }
VYRA_EXPORT int SetBaudRate(int, int) { return 0; }
VYRA_EXPORT int GetBaudRate(int) { return 0; }
VYRA_EXPORT int ReadLine(int, char*, int, int) { return 0; }
VYRA_EXPORT int WriteBuffer() { return 0; }
VYRA_EXPORT int ReadBuffer() { return 0; }
VYRA_EXPORT int ReadBuffSize() { return 0; }
VYRA_EXPORT void FlushReadBuffer(int) {}
VYRA_EXPORT int GetUniqueID(int, int*) { return 0; }
VYRA_EXPORT int DeviceCommand(int, int, void*) { return 0; }
VYRA_EXPORT int GetLastErrorMsg(int, char*) { return 0; }
VYRA_EXPORT uint32_t InitOnMainThread() { return 0; }
VYRA_EXPORT int SetControllingProxy(int, void*) { return 0; }
