#include "framework/exceptions.h"

#include <cstdio>
#include <iostream>
#include <string>

#include "framework/host_os.h"
#include "framework/host_strings.h"
#include "platform/codepage.h"

namespace vyra {

namespace {

// String resources for the framework's own codes 0x8200..0x821E (low 16 bits); 0: no text.
constexpr uint16_t kFrameworkCodeText[31] = {
    57345, 57346, 57347, 57348, 57349, 57349, 57352, 57350, 57351, 57354, 0, 0, 0, 0, 0, 0,
    0,     0,     57358, 0,     0,     0,     0,     0,     0,     0,     57359, 57360, 0, 57361, 0,
};

constexpr uint32_t kFacilityItf = 4;
constexpr uint32_t kFacilityWin32 = 7;
constexpr size_t kSystemMessageUnits = 510;

}  // namespace

ResultTextPlan PlanResultText(uint32_t code) {
  if (code == 0x80030105u) code = 0xA0048205u;
  const uint32_t facility = (code >> 16) & 0x1FFF;
  const uint32_t low = code & 0xFFFF;
  ResultTextPlan plan;
  if (facility == kFacilityItf && (code & 0x20000000u) && (code & 0x8000u)) {
    if (low >= 0x8200 && low <= 0x821E && kFrameworkCodeText[low - 0x8200] != 0) {
      plan.kind = ResultTextPlan::kHostString;
      plan.stringId = kFrameworkCodeText[low - 0x8200];
    }
    return plan;
  }
  plan.kind = ResultTextPlan::kSystem;
  plan.systemCode = facility == kFacilityWin32 ? low : code;
  return plan;
}

std::u16string TidySystemMessage(std::u16string text) {
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, u"\r\n") == 0) text.resize(text.size() - 2);
  if (text.size() > 1 && text.back() != u'.') text += u'.';
  return text;
}

BVL::String FormatResultCode(HResult code) {
  ResultTextPlan plan = PlanResultText(static_cast<uint32_t>(code));
  switch (plan.kind) {
    case ResultTextPlan::kHostString:
      return LoadHostString(nullptr, plan.stringId, true);
    case ResultTextPlan::kSystem: {
      std::u16string raw = SystemMessageText(plan.systemCode, kSystemMessageUnits);
      if (raw.empty()) return BVL::String();
      return BVL::String(std::u16string_view(TidySystemMessage(std::move(raw))));
    }
    case ResultTextPlan::kNone:
      break;
  }
  return BVL::String();
}

void WriteBootLog(std::u16string_view text) noexcept {
  try {
#if defined(_WIN32)
    std::wstring w(text.begin(), text.end());
    std::wcerr << L"BVLBOOTLOG: " << w << std::endl;
#else
    // Narrow output: a wide write would fix the C stderr stream to wide orientation and
    // silence every narrow writer of the process afterwards.
    std::string s;
    plat::WideToMultiByte(plat::kCodePageUtf8, text, s);
    std::fprintf(stderr, "BVLBOOTLOG: %s\n", s.c_str());
    std::fflush(stderr);
#endif
  } catch (...) {
  }
}

XBVL::XBVL(HResult code) : code_(code), message_(FormatResultCode(code)) {
  BVL::String copy = message_;
  if (const char* n = copy.NarrowText()) narrow_ = n;
  std::u16string line = u"XBVL: ";
  line += message_.View();
  WriteBootLog(line);
}

}  // namespace vyra
