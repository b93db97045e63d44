#include "framework/host_strings.h"

#include <cstring>

#include "platform/process_wide.h"

namespace vyra {

std::optional<std::u16string> FindStringInBlock(std::span<const std::byte> block, unsigned index) {
  if (index > 15) return std::nullopt;
  auto countAt = [&](size_t pos, uint16_t& count) {
    if (pos + 2 > block.size()) return false;
    std::memcpy(&count, block.data() + pos, 2);
    return true;
  };
  size_t pos = 0;
  uint16_t count = 0;
  for (unsigned i = 0; i < index; ++i) {
    if (!countAt(pos, count)) return std::nullopt;
    pos += 2 + 2 * static_cast<size_t>(count);
  }
  if (!countAt(pos, count) || count == 0) return std::nullopt;
  pos += 2;
  if (pos + 2 * static_cast<size_t>(count) > block.size()) return std::nullopt;
  std::u16string text(count, u'\0');
  std::memcpy(text.data(), block.data() + pos, 2 * static_cast<size_t>(count));
  return text;
}

const std::vector<std::pair<BVL::String, BVL::String>>& ProductNameTable() {
  // The long placeholder goes before its prefix. Reader threads load host strings.
  using Table = std::vector<std::pair<BVL::String, BVL::String>>;
  static ProcessWide<const Table> table(Table{
      {BVL::String(u"VELLUMFORWINDOWS"), BVL::String(u"Vellumar")},
      {BVL::String(u"VELLUM"), BVL::String(u"Vellumar")},
      {BVL::String(u"QUADRIX"), BVL::String(u"Quadrix")},
      {BVL::String(u"OEM"), BVL::String(u"Brinvale")},
  });
  return table.Get();
}

std::u16string SubstituteProductNames(std::u16string_view text) {
  std::u16string out(text);
  for (const auto& [placeholder, name] : ProductNameTable()) {
    std::u16string_view from = placeholder.View();
    std::u16string_view to = name.View();
    size_t pos = out.find(from);
    while (pos != std::u16string::npos) {
      out.replace(pos, from.size(), to);
      pos = out.find(from, pos + to.size());
    }
  }
  return out;
}

BVL::String LoadHostString(ModuleHandle module, unsigned id, bool substitute) {
  // No OWLNext application here: the block is always looked up in the default language.
  const auto block = static_cast<uint16_t>(id / 16 + 1);
  std::optional<std::u16string> text = FindStringInBlock(FindStringBlock(module, block), id % 16);
  if (!text) return BVL::String();
  if (!substitute) return BVL::String(std::u16string_view(*text));
  return BVL::String(std::u16string_view(SubstituteProductNames(*text)));
}

}  // namespace vyra
