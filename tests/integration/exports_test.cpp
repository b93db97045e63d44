// The built module as a host sees it: loaded by path, driven only through its exports.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

namespace {

const std::set<std::string> kExports = {
    "GetDeviceClassInfo", "FindDevice",   "Initialise",    "CloseAll",        "IsFailed",
    "CanUseBaudRate",     "SetBaudRate",  "GetBaudRate",   "ReadLine",        "WriteBuffer",
    "ReadBuffer",         "ReadBuffSize", "FlushReadBuffer", "GetUniqueID",   "DeviceCommand",
    "GetLastErrorMsg",    "InitOnMainThread", "SetControllingProxy"};

struct ClassInfo {
  unsigned char classId[16];
  const char16_t* name;
  const char16_t* nameAgain;
};

struct CommandRecord {  // the host's record, native pointer width
  char* text;
  uint32_t textSize;
  int32_t reserved0, argument, reserved1, value;
};

class SpineExports : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { module_ = dlopen(VYRA_MODULE_PATH, RTLD_NOW | RTLD_LOCAL); }
  static void TearDownTestSuite() {
    if (module_) dlclose(module_);
    module_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(module_, nullptr) << dlerror(); }

  template <class F>
  static F* Fn(const char* name) {
    return reinterpret_cast<F*>(dlsym(module_, name));
  }
  static void* module_;
};
void* SpineExports::module_ = nullptr;

TEST_F(SpineExports, EveryEntryPointResolves) {
  for (const auto& name : kExports) EXPECT_NE(dlsym(module_, name.c_str()), nullptr) << name;
}

TEST_F(SpineExports, IndicesNamingNoDeviceGiveTheDefaults) {
  auto closeAll = Fn<int()>("CloseAll");
  ASSERT_EQ(closeAll(), 1);
  auto isFailed = Fn<int(int)>("IsFailed");
  auto initialise = Fn<int(int)>("Initialise");
  auto getBaud = Fn<int(int)>("GetBaudRate");
  auto setBaud = Fn<int(int, int)>("SetBaudRate");
  auto canUse = Fn<int(int, int)>("CanUseBaudRate");
  auto readLine = Fn<int(int, char*, int, int)>("ReadLine");
  auto uniqueId = Fn<int(int, int*)>("GetUniqueID");
  auto command = Fn<int(int, int, void*)>("DeviceCommand");
  auto flush = Fn<void(int)>("FlushReadBuffer");
  auto lastError = Fn<int(int, char*)>("GetLastErrorMsg");
  auto proxy = Fn<int(int, void*)>("SetControllingProxy");

  for (int index : {0, 1, -2, 1000}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(isFailed(index), 1);
    EXPECT_EQ(initialise(index), 0);
    EXPECT_EQ(getBaud(index), 0);
    EXPECT_EQ(setBaud(index, 9600), 0);
    EXPECT_EQ(canUse(index, 9600), 0);
    char line[16];
    std::memset(line, '#', sizeof line);
    EXPECT_EQ(readLine(index, line, sizeof line, 0), 0);
    EXPECT_EQ(line[0], '#') << "nothing written for an index without device";
    int id = 12345;
    EXPECT_EQ(uniqueId(index, &id), 0);
    EXPECT_EQ(id, 12345);
    char text[8] = "keep";
    CommandRecord record{text, sizeof text, 0, 1, 0, 77};
    EXPECT_EQ(command(index, 1, &record), 0);
    EXPECT_EQ(record.value, 77);
    EXPECT_STREQ(text, "keep");
    flush(index);
    char message[64] = "keep";
    EXPECT_EQ(lastError(index, message), 0);
    EXPECT_EQ(proxy(index, &record), 0);
  }
}

TEST_F(SpineExports, BufferEntryPointsAreOneNoOp) {
  auto write = Fn<int(int, char*, int)>("WriteBuffer");
  auto read = Fn<int(int, char*, int)>("ReadBuffer");
  auto size = Fn<int(int)>("ReadBuffSize");
  char buf[4] = "abc";
  EXPECT_EQ(write(0, buf, 3), 0);
  EXPECT_EQ(read(0, buf, 3), 0);
  EXPECT_EQ(size(0), 0);
  EXPECT_STREQ(buf, "abc");
}

TEST_F(SpineExports, DeviceClassInfoNamesTheMonitorTwice) {
  auto info = Fn<int(void*)>("GetDeviceClassInfo");
  ClassInfo a{}, b{};
  ASSERT_EQ(info(&a), 1);
  ASSERT_EQ(info(&b), 1);
  ASSERT_NE(a.name, nullptr);
  EXPECT_EQ(a.name, a.nameAgain) << "both pointers name one static text";
  EXPECT_EQ(std::u16string(a.name), u"VYRA Monitor");
  EXPECT_EQ(std::memcmp(a.classId, b.classId, 16), 0);
  static const unsigned char zero[16] = {};
  EXPECT_NE(std::memcmp(a.classId, zero, 16), 0);
  EXPECT_EQ(info(nullptr), 0);
}

TEST_F(SpineExports, FindDeviceWithoutMatchLeavesTheIndexAlone) {
  auto find = Fn<int(int*, const char*)>("FindDevice");
  int index = -7;
  EXPECT_EQ(find(&index, "NO-SUCH-MONITOR-ID"), 0);
  EXPECT_EQ(index, -7);
  EXPECT_EQ(find(&index, nullptr), 0);
  EXPECT_EQ(Fn<int()>("CloseAll")(), 1);
  EXPECT_EQ(Fn<int()>("CloseAll")(), 1) << "CloseAll on an empty table";
}

TEST_F(SpineExports, InitOnMainThreadReturnsTheLogClock) {
  auto init = Fn<uint32_t()>("InitOnMainThread");
  uint32_t first = init();
  uint32_t second = init();
  EXPECT_GE(second, first);
  EXPECT_LT(second - first, 60000u);
}

TEST(SpineModule, ExportsExactlyTheEighteenNames) {
  std::string command = std::string("nm -D --defined-only '") + VYRA_MODULE_PATH + "' 2>/dev/null";
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::set<std::string> names;
  char line[512];
  while (fgets(line, sizeof line, p)) {
    char address[64], type[8], name[400];
    if (std::sscanf(line, "%63s %7s %399s", address, type, name) == 3 && std::strchr("TtWiDdBbRrVv", type[0]) &&
        type[0] >= 'A' && type[0] <= 'Z')
      names.insert(name);
  }
  int status = pclose(p);
  if (names.empty() && status != 0) GTEST_SKIP() << "nm is not available";
  EXPECT_EQ(names, kExports);
}

}  // namespace
