// The text rules of discovery, and the SetupAPI and D2XX steps run over doubles of the two
// libraries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "discovery/discovery.h"
#include "discovery/ftdi_lookup.h"
#include "discovery/setupapi_walk.h"
#include "platform/port_enum.h"
#include "device/dura_serial.h"

namespace vyra {
namespace {

TEST(DiscoveryRules, SplitIdentifierListKeepsEmptyPiecesButNoTrailingOne) {
  struct Case {
    std::string_view text;
    std::vector<std::string_view> pieces;
  } cases[] = {
      {"", {""}},
      {"Z800", {"Z800"}},
      {"VEZ,Z800", {"VEZ", "Z800"}},
      {",XYZ", {"", "XYZ"}},
      {"Z800,", {"Z800"}},
      {"a,,b", {"a", "", "b"}},
      {",", {""}},
      {",,", {"", ""}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitIdentifierList(c.text), c.pieces) << "\"" << c.text << "\"";
}

TEST(DiscoveryRules, MatchesIdentifierListIsACaseSensitiveSubstringSearch) {
  struct Case {
    std::string_view list;
    std::u16string_view identifier;
    bool matches;
  } cases[] = {
      {"Z800", u"Z800XYZA", true},
      {"z800", u"Z800XYZA", false},
      {"XYZ", u"Z800XYZA", true},
      {"", u"ACPI", true},
      {"", u"", true},
      {"Z800", u"", false},
      {"NOPE,XYZ", u"Z800XYZA", true},
      {"NOPE,ALSO", u"Z800XYZA", false},
      {"ABC", u"\u0141BC", true},  // the low byte of each unit is compared
  };
  for (const Case& c : cases)
    EXPECT_EQ(MatchesIdentifierList(SplitIdentifierList(c.list), c.identifier), c.matches) << "\"" << c.list << "\"";
}

TEST(DiscoveryRules, SerialNumberFromPathTakesTheDigitsAfterTheFirstPrefixFound) {
  struct Case {
    std::u16string_view path;
    std::string serial;
  } cases[] = {
      {u"\\\\?\\FTDIBUS#VID_0403+PID_6001+z8001234a#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}", "1234"},
      {u"\\\\.\\Z8001234", "1234"},
      {u"\\\\?\\FTDIBUS#VID_0403+PID_6001+z800xyz#0000", ""},
      {u"vez55_z80077", "77"},  // z800 is tried before vez
      {u"z800x_z80012", "12"},  // the first occurrence followed by a digit
      {u"/dev/serial/by-id/usb-FTDI_BVLVYRA0042-if00-port0", "0042"},
      {u"VeZ9", "9"},
      {u"\u017A800321", "321"},  // low byte of U+017A is 'z'
      {u"COM5", ""},
      {u"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(SerialNumberFromPath(c.path), c.serial);
}

TEST(DiscoveryRules, TrimInstanceIdKeepsTheLastPlusPieceUpToABackslash) {
  struct Case {
    std::u16string text;
    std::u16string trimmed;
  } cases[] = {
      {u"FTDIBUS\\VID_0403+PID_6001+Z800XYZA\\0000", u"Z800XYZA"},
      {u"USB\\VID_1234&PID_5678\\SER01", u"USB"},
      {u"ACPI\\PNP0501\\1", u"ACPI"},
      {u"FTDIBUS\\VID_0403+PID_6001+", u""},
      {u"a+b+c", u"c"},
      {u"+\\Q7A\\0000", u""},
      {u"", u""},
  };
  for (Case& c : cases) {
    std::u16string text = c.text;
    plat::DevRegEnum::TrimInstanceId(text, u'+');
    EXPECT_EQ(text, c.trimmed);
  }
}

// --- D2XX double -----------------------------------------------------------------------

struct FakeD2xx {
  struct Device {
    std::string serial;
    int32_t port;
    bool openFails = false;
    bool infoFails = false;
    bool portFails = false;
  };
  std::vector<Device> devices;
  bool usable = true;
  bool markedUnusable = false;
  bool breakAfterOpen = false;  // the library turns unusable once a handle is open
  std::vector<int32_t> opened;
  std::set<void*> openHandles;
  int calls = 0;

  bool Usable() const { return usable; }
  void MarkUnusable() { markedUnusable = true; }
  uint32_t Open(int32_t k, void** handle) {
    ++calls;
    opened.push_back(k);
    if (k >= static_cast<int32_t>(devices.size()) || devices[k].openFails) return 2;  // FT_DEVICE_NOT_FOUND
    *handle = &devices[k];
    openHandles.insert(*handle);
    if (breakAfterOpen) usable = false;
    return 0;
  }
  uint32_t GetDeviceInfo(void* handle, char* serial) {
    ++calls;
    auto* d = static_cast<Device*>(handle);
    if (d->infoFails) return 4;
    std::memset(serial, 0, 16);
    std::memcpy(serial, d->serial.data(), std::min<size_t>(d->serial.size(), 16));
    return 0;
  }
  uint32_t GetComPortNumber(void* handle, int32_t* port) {
    ++calls;
    auto* d = static_cast<Device*>(handle);
    if (d->portFails) return 4;
    *port = d->port;
    return 0;
  }
  void Close(void* handle) {
    ++calls;
    EXPECT_EQ(openHandles.erase(handle), 1u) << "closed a handle that was not open";
  }
};

TEST(DiscoveryFtdiLookup, FindsTheSerialOfTheDeviceOnThePort) {
  struct Case {
    const char* name;
    std::vector<FakeD2xx::Device> devices;
    std::u16string_view port;
    bool found;
    std::u16string serial;
    std::vector<int32_t> opened;
  } cases[] = {
      {"second of two", {{"FT3", 3}, {"FT5", 5}}, u"COM5", true, u"FT5", {0, 1}},
      {"lower-case port name", {{"FT3", 3}, {"FT5", 5}}, u"com5", true, u"FT5", {0, 1}},
      {"no such port", {{"FT3", 3}, {"FT5", 5}}, u"COM7", false, u"", {0, 1, 2}},
      {"device without a COM port", {{"FTX", -1}}, u"COM1", false, u"", {0, 1}},
      {"held device ends the search", {{"FT3", 3}, {"HELD", 4, true}, {"FT5", 5}}, u"COM5", false, u"", {0, 1}},
      {"info fails", {{"FT3", 3, false, true}, {"FT5", 5}}, u"COM5", false, u"", {0}},
      {"port number fails", {{"FT3", 3, false, false, true}, {"FT5", 5}}, u"COM5", false, u"", {0}},
      {"serial of sixteen bytes", {{"0123456789ABCDEF", 12}}, u"COM12", true, u"0123456789ABCDE", {0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeD2xx d2xx;
    d2xx.devices = c.devices;
    std::u16string serial;
    EXPECT_EQ(discovery::FindFtdiSerialWith(d2xx, c.port, serial), c.found);
    if (c.found) {
      EXPECT_EQ(serial, c.serial);
    }
    EXPECT_EQ(d2xx.opened, c.opened);
    EXPECT_TRUE(d2xx.openHandles.empty()) << "every opened handle is closed";
    EXPECT_FALSE(d2xx.markedUnusable);
  }
}

TEST(DiscoveryFtdiLookup, UnusableLibraryIsNeverCalled) {
  FakeD2xx d2xx;
  d2xx.devices = {{"FT5", 5}};
  std::u16string serial;
  EXPECT_FALSE(discovery::FindFtdiSerialWith(d2xx, u"", serial));
  d2xx.usable = false;
  EXPECT_FALSE(discovery::FindFtdiSerialWith(d2xx, u"COM5", serial));
  EXPECT_EQ(d2xx.calls, 0);
  EXPECT_FALSE(d2xx.markedUnusable) << "a lookup that never started changes no flag";
}

TEST(DiscoveryFtdiLookup, LibraryTurningUnusableStopsBeforeTheNextCall) {
  FakeD2xx d2xx;
  d2xx.devices = {{"FT5", 5}};
  d2xx.breakAfterOpen = true;
  std::u16string serial;
  EXPECT_FALSE(discovery::FindFtdiSerialWith(d2xx, u"COM5", serial));
  EXPECT_TRUE(d2xx.markedUnusable);
  EXPECT_EQ(d2xx.calls, 1) << "only FT_Open ran";
}

// --- SetupAPI double -----------------------------------------------------------------------

struct FakeSetupApi {
  static constexpr size_t kDetailPathOffset = 4;
  struct Member {
    std::u16string path, id;
    bool detailFails = false;
    bool idFails = false;
    std::map<uint32_t, std::u16string> properties;
    std::map<uint32_t, uint32_t> propertyErrors;  // first-call error instead of the size
  };
  std::vector<Member> members;
  const Member* current = nullptr;
  bool detailAnswered = false;
  std::vector<std::string> calls;

  bool EnumInterface(uint32_t index) {
    calls.push_back("enum");
    current = index < members.size() ? &members[index] : nullptr;
    return current != nullptr;
  }
  uint32_t DetailSize() const { return static_cast<uint32_t>(kDetailPathOffset + 2 * (current->path.size() + 1)); }
  bool InterfaceDetail(unsigned char* detail, uint32_t size, uint32_t* required) {
    calls.push_back(detail ? "detail" : "detail-size");
    detailAnswered = false;
    if (!detail) {
      *required = DetailSize();
      return false;
    }
    EXPECT_GE(size, 2 * DetailSize()) << "twice the required size";
    if (current->detailFails) return false;
    std::memcpy(detail + kDetailPathOffset, current->path.c_str(), 2 * (current->path.size() + 1));
    detailAnswered = true;
    return true;
  }
  bool InstanceId(char16_t* buffer, uint32_t units, uint32_t* required) {
    calls.push_back(buffer ? "id" : "id-size");
    EXPECT_TRUE(detailAnswered) << "the device info data comes from the detail call";
    uint32_t needed = static_cast<uint32_t>(current->id.size() + 1);
    if (!buffer) {
      *required = needed;
      return false;
    }
    if (units < needed) return false;
    std::memcpy(buffer, current->id.c_str(), 2 * needed);
    if (current->idFails) {
      buffer[0] = u'?';  // a failed call may have scribbled on the buffer
      return false;
    }
    return true;
  }
  bool Property(uint32_t property, unsigned char* buffer, uint32_t size, uint32_t* required, uint32_t* error) {
    calls.push_back("property");
    auto it = current->properties.find(property);
    if (!buffer) {
      auto err = current->propertyErrors.find(property);
      if (err != current->propertyErrors.end()) {
        *error = err->second;
        return false;
      }
      if (it == current->properties.end()) {
        *error = discovery::kErrorInvalidData;
        return false;
      }
      *required = static_cast<uint32_t>(2 * (it->second.size() + 1));
      *error = discovery::kErrorInsufficientBuffer;
      return false;
    }
    if (it == current->properties.end() || size < 2 * (it->second.size() + 1)) return false;
    std::memcpy(buffer, it->second.c_str(), 2 * (it->second.size() + 1));
    return true;
  }
};

TEST(DiscoverySetupApiWalk, LoadsPathInstanceIdAndProperties) {
  FakeSetupApi api;
  api.members = {{u"\\\\?\\ftdibus#vid_0403+pid_6001+z8001234a#0000#{86e0d1e0}",
                  u"FTDIBUS\\VID_0403+PID_6001+Z8001234A\\0000",
                  false,
                  false,
                  {{discovery::kSpdrpMfg, u"FTDI"},
                   {discovery::kSpdrpFriendlyName, u"USB Serial Port (COM5)"},
                   {discovery::kSpdrpDeviceDesc, u"USB Serial Port"}},
                  {}}};
  discovery::DevRegItem item;
  ASSERT_TRUE(discovery::LoadDevRegItem(api, 0, item));
  EXPECT_EQ(item.devicePath, api.members[0].path);
  EXPECT_EQ(item.instanceId, api.members[0].id);
  EXPECT_EQ(item.manufacturer, u"FTDI");
  EXPECT_EQ(item.friendlyName, u"USB Serial Port (COM5)");
  EXPECT_EQ(item.deviceDescription, u"USB Serial Port");
  EXPECT_EQ(api.calls, (std::vector<std::string>{"enum", "detail-size", "detail", "id-size", "id", "property",
                                                 "property", "property", "property", "property", "property"}));

  EXPECT_FALSE(discovery::LoadDevRegItem(api, 1, item)) << "past the last member";
  EXPECT_EQ(api.calls.back(), "enum");
}

TEST(DiscoverySetupApiWalk, FailedMemberEndsWithoutStaleTexts) {
  struct Case {
    const char* name;
    bool detailFails, idFails;
    std::u16string path;
  } cases[] = {
      {"detail fails", true, false, u""},
      {"instance ID fails", false, true, u"\\\\?\\second"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSetupApi api;
    api.members = {
        {u"\\\\?\\first", u"FIRST\\1", false, false,
         {{discovery::kSpdrpMfg, u"Maker"}, {discovery::kSpdrpDeviceDesc, u"One"}}, {}},
        {u"\\\\?\\second", u"SECOND\\2", c.detailFails, c.idFails,
         {{discovery::kSpdrpFriendlyName, u"Two"}, {discovery::kSpdrpDeviceDesc, u"Two"}},
         {{discovery::kSpdrpDeviceDesc, 5u}}}};  // ERROR_ACCESS_DENIED
    discovery::DevRegItem item;
    ASSERT_TRUE(discovery::LoadDevRegItem(api, 0, item));
    EXPECT_FALSE(discovery::LoadDevRegItem(api, 1, item));
    EXPECT_EQ(item.instanceId, u"") << "never the unfilled buffer nor the previous member's";
    EXPECT_EQ(item.devicePath, c.path);
    EXPECT_EQ(item.friendlyName, u"Two") << "properties are read all the same";
    EXPECT_EQ(item.manufacturer, u"Maker") << "an absent property keeps the previous value";
    EXPECT_EQ(item.deviceDescription, u"One") << "so does one that fails to read";
  }
}

TEST(DiscoverySetupApiWalk, ResolvesTheFunctionsWithTheirAlternativeNames) {
  struct Case {
    const char* name;
    std::set<std::string> exported;
    bool complete;
  } cases[] = {
      {"current names",
       {"SetupDiGetDeviceInstanceIdW", "SetupDiGetDeviceInterfaceDetailW", "SetupDiEnumDeviceInterfaces",
        "SetupDiGetClassDevsW", "SetupDiDestroyDeviceInfoList", "SetupDiGetDeviceRegistryPropertyW",
        "SetupDiEnumDeviceInfo"},
       true},
      {"older names",
       {"SetupDiGetDeviceInstanceIdW", "SetupDiGetInterfaceDeviceDetailW", "SetupDiEnumInterfaceDevice",
        "SetupDiGetClassDevsW", "SetupDiDestroyDeviceInfoList", "SetupDiGetDeviceRegistryPropertyW",
        "SetupDiEnumDeviceInfo"},
       true},
      {"one missing",
       {"SetupDiGetDeviceInstanceIdW", "SetupDiGetDeviceInterfaceDetailW", "SetupDiEnumDeviceInterfaces",
        "SetupDiGetClassDevsW", "SetupDiDestroyDeviceInfoList", "SetupDiGetDeviceRegistryPropertyW"},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> asked;
    std::map<std::string, int> addresses;
    auto lookup = [&](const char* name) -> void* {
      asked.push_back(name);
      return c.exported.count(name) ? &addresses[name] : nullptr;
    };
    discovery::SetupApiSymbols symbols;
    EXPECT_EQ(discovery::ResolveSetupApi(lookup, symbols), c.complete);
    if (!c.complete) continue;
    for (void* p : symbols) EXPECT_NE(p, nullptr);
    EXPECT_EQ(asked.front(), "SetupDiGetDeviceInstanceIdW");
    EXPECT_EQ(asked.back(), "SetupDiEnumDeviceInfo");
    EXPECT_EQ(symbols[discovery::kEnumInterfaces],
              c.exported.count("SetupDiEnumInterfaceDevice") ? &addresses["SetupDiEnumInterfaceDevice"]
                                                             : &addresses["SetupDiEnumDeviceInterfaces"]);
    EXPECT_EQ(symbols[discovery::kInterfaceDetail],
              c.exported.count("SetupDiGetDeviceInterfaceDetailW") ? &addresses["SetupDiGetDeviceInterfaceDetailW"]
                                                                   : &addresses["SetupDiGetInterfaceDeviceDetailW"]);
  }
}

}  // namespace
}  // namespace vyra
