#pragma once
// The framework's few OS services: module string resources, system message texts and
// messages for the user.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vyra {

// A module handle (HMODULE on Windows). Null names the host's executable.
using ModuleHandle = void*;

// This module: the one that carries the control lists and the string table.
ModuleHandle OwnModule() noexcept;

// The raw string block `block` (RT_STRING, strings (block - 1) * 16 ...) of `module`;
// empty when missing. POSIX: the host's executable has none, this module its embedded table.
std::span<const std::byte> FindStringBlock(ModuleHandle module, unsigned block);

// The system's text for an error code (inserts ignored, user-default language), at most
// maxUnits units; empty where the platform has no message table (POSIX).
std::u16string SystemMessageText(uint32_t code, size_t maxUnits);

// True when VYRA_NO_MSGBOX is set to a value other than "" or "0": messages then go to the
// debugger output and standard error instead of a message box that waits for a user.
bool MessageBoxesDisabled() noexcept;

enum class MessageKind { Ok, TaskModal };
// Windows: a message box (no owner; neutral language for Ok) unless disabled;
// POSIX: one line "caption: text" on standard error, dropped rather than stalled on. A box
// blocks its caller while it is up.
void ShowUserMessage(std::u16string_view text, std::u16string_view caption, MessageKind kind) noexcept;

}  // namespace vyra
