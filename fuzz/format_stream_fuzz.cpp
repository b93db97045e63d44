// Message templates with numbered placeholders, filled with values of mixed kinds.
//
// Input: the template up to the first LF (one byte per UTF-16 unit), then one value per
// line: a line beginning with '#' is inserted as a number, any other as text.
#include <string>

#include "fuzz_core.h"
#include "support/format_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vyra;
  fuzz::Input in(data, size);
  std::string_view narrowTemplate = in.Until('\n');
  std::u16string wideTemplate(narrowTemplate.begin(), narrowTemplate.end());
  for (char16_t& c : wideTemplate) c = static_cast<uint8_t>(c);

  BVL::OStringStream out;
  size_t valueUnits = 0;
  {
    BVL::OFormatStream format(BVL::String(std::u16string_view(wideTemplate)), out);
    for (int values = 0; !in.Empty() && values < 40; ++values) {
      std::string_view v = in.Until('\n');
      if (!v.empty() && v[0] == '#') {
        unsigned long long n = 0;
        for (char c : v.substr(1)) n = n * 31 + static_cast<uint8_t>(c);
        format << static_cast<int>(n);
        valueUnits += 12;
      } else {
        std::u16string w(v.begin(), v.end());
        format << std::u16string_view(w);
        valueUnits += w.size();
      }
    }
  }
  const std::u16string_view text = out.View();
  if (wideTemplate.find(u'%') == std::u16string::npos && text != wideTemplate) __builtin_trap();
  // Each literal run once, each placeholder at most one value text.
  if (text.size() > wideTemplate.size() + 20 * valueUnits) __builtin_trap();
  (void)out.str();
  return 0;
}
