#!/usr/bin/python3
"""Independent check of the shipped DLL with pefile: PE32 for i386, exactly the 18
undecorated exports, no mingw runtime import, and the resources byte for byte."""
import sys

import pefile

EXPORTS = sorted("""GetDeviceClassInfo FindDevice Initialise CloseAll IsFailed CanUseBaudRate
SetBaudRate GetBaudRate ReadLine WriteBuffer ReadBuffer ReadBuffSize FlushReadBuffer
GetUniqueID DeviceCommand GetLastErrorMsg InitOnMainThread SetControllingProxy""".split())

DEVICE_LIST = "\r\n".join([
    "/*",
    " * Dura Device Control List",
    " *",
    " */",
    "",
    "// Main settings dialog",
    '"Dura Device Settings", tag = Settings(0,0,262,146),',
    '  helpfile = "DuraSerialHelp",',
    '  helptopic = "telegraphoverview",',
    "",
    "// List of controls",
    "{",
    "} ",
]) + "\r\n"

AMP_LIST = "\r\n".join([
    "/*",
    " * Dura Input Amp Control List",
    " *",
    " */",
    "",
    "// List title: names can be a single string, or a list of countrycode/string pairs",
    '{  eng, "Dura" },',
    "",
    '  helpfile = "DuraHelp",',
    '  helptopic = "Dura_Devices",',
    "  ",
    "// List of controls",
    "{",
    "// HideMe checkbox",
    '"HideMe", checkbox, HideMe,',
    "   {",
    '   "", {},',
    '   "", default, { hide(HideMe) }',
    "   }",
    "}",
]) + "\r\n"

STRINGS = {101: "Dura", 102: "Dura Scientific", 103: "VYRA Monitor Control", 104: "Control VYRA Monitor"}

failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def resources(pe):
    """(type, id, lang) -> bytes"""
    out = {}
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return out
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            for lang in n.directory.entries:
                d = lang.data.struct
                out[(t.id, n.id, lang.id)] = pe.get_data(d.OffsetToData, d.Size)
    return out


def string_block(data):
    strings, pos = [], 0
    for _ in range(16):
        count = int.from_bytes(data[pos:pos + 2], "little")
        pos += 2
        strings.append(data[pos:pos + 2 * count].decode("utf-16-le"))
        pos += 2 * count
    return strings


def main(path):
    check(len(DEVICE_LIST) == 221 and len(AMP_LIST) == 347, "expected control lists are 221 and 347 bytes")
    pe = pefile.PE(path)
    check(pe.FILE_HEADER.Machine == 0x14C, "machine is i386")
    check(pe.OPTIONAL_HEADER.Magic == 0x10B, "PE32 (not PE32+)")
    names = sorted(e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols if e.name)
    check(names == EXPORTS, "exactly the 18 undecorated exports (got %s)" % names)
    dlls = [i.dll.decode().lower() for i in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    bad = [d for d in dlls if d.startswith(("libstdc++", "libgcc", "libwinpthread", "libssp"))]
    check(not bad, "no mingw runtime DLL imported (imports: %s)" % dlls)
    res = resources(pe)
    rc = {k: v for k, v in res.items() if k[0] == 10}
    langs = {k[2] for k in res if k[0] in (6, 10)}
    check(len(langs) == 1 and all((l & 0x3FF) == 0x09 for l in langs), "one English language (%s)" % langs)
    dev = [v for k, v in rc.items() if k[1] == 103]
    amp = [v for k, v in rc.items() if k[1] == 105]
    check(len(dev) == 1 and dev[0] == DEVICE_LIST.encode("ascii"), "RCDATA 103 byte for byte (221 bytes)")
    check(len(amp) == 1 and amp[0] == AMP_LIST.encode("ascii"), "RCDATA 105 byte for byte (347 bytes)")
    block = [v for k, v in res.items() if k[0] == 6 and k[1] == 7]
    check(len(block) == 1, "string block 7 present once")
    if block:
        s = string_block(block[0])
        got = {96 + i: s[i] for i in range(16)}
        want = {i: STRINGS.get(i, "") for i in range(96, 112)}
        check(got == want, "strings 101-104 exact, 96-100 and 105-111 empty")
    print("%d passed, %d failed" % (0 if failures else 1, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
