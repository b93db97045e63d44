#pragma once
// Code-page conversions between UTF-16 and narrow text.
// Win32: WideCharToMultiByte / MultiByteToWideChar.
// POSIX: the ANSI code pages (0, 3) and 65001 are UTF-8; others go through iconv ("CP<n>", or
// the standard's name where iconv has no "CP<n>" for it).
#include <cstddef>
#include <string>
#include <string_view>

namespace vyra::plat {

inline constexpr unsigned kCodePageAnsi = 0;        // CP_ACP
inline constexpr unsigned kCodePageThreadAnsi = 3;  // CP_THREAD_ACP
inline constexpr unsigned kCodePageUtf8 = 65001;    // CP_UTF8

// Converts without a terminator; false for empty input, an unknown code page, or when
// nothing came out. Unmappable characters become the code page's default character.
bool WideToMultiByte(unsigned codePage, std::u16string_view wide, std::string& out);
bool MultiByteToWide(unsigned codePage, std::string_view narrow, std::u16string& out);

// True when the code page encodes as UTF-8 here (texts are then cut only between characters).
bool CodePageIsUtf8(unsigned codePage);

// Lower-cases the NUL-terminated text in place, never looking past `capacity` units, as the
// runtime library's wide lower-casing does.
void LowerInPlace(char16_t* text, size_t capacity);

// The code page the host's text is handed in when no locale information says otherwise.
unsigned DefaultHostCodePage();

#if !defined(_WIN32)
// The Windows code page of a locale codeset name (nl_langinfo(CODESET)); 65001 for UTF-8,
// ASCII and names without a Windows number.
unsigned CodePageOfCodeset(const char* codeset);
#endif

}  // namespace vyra::plat
