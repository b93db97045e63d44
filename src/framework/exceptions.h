#pragma once
// Exceptions that carry a COM result code, and the text of such a code.
#include <cstdint>
#include <exception>
#include <string>

#include "support/bvl_string.h"
#include "support/hresult.h"

namespace vyra {

// Carries a result code and its text. Constructing one writes the boot-log line
// "BVLBOOTLOG: XBVL: <text>" to standard error.
class XBVL : public std::exception {
 public:
  explicit XBVL(HResult code);
  const char* what() const noexcept override { return narrow_.c_str(); }
  BVL::String Message() const { return message_; }
  HResult Code() const noexcept { return code_; }

 private:
  HResult code_;
  BVL::String message_;
  std::string narrow_;  // ANSI copy of the message, owned for the life of the exception
};

// Carries only a result code.
class XHResult {
 public:
  explicit XHResult(HResult code) noexcept : code_(code) {}
  HResult Code() const noexcept { return code_; }

 private:
  HResult code_;
};

// Where the text of a result code comes from.
struct ResultTextPlan {
  enum Kind { kNone, kHostString, kSystem } kind = kNone;
  unsigned stringId = 0;     // kHostString: host string resource
  uint32_t systemCode = 0;   // kSystem: code passed to the system's message table
};
ResultTextPlan PlanResultText(uint32_t code);

// A system message as shown: trailing CR LF removed, a full stop added when missing.
std::u16string TidySystemMessage(std::u16string text);

// The text of a result code; empty when there is none.
BVL::String FormatResultCode(HResult code);

// One line on standard error, before any log exists.
void WriteBootLog(std::u16string_view text) noexcept;

}  // namespace vyra
