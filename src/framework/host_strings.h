#pragma once
// String resources of the host (or of this module) with the product names put in.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "framework/host_os.h"
#include "support/bvl_string.h"

namespace vyra {

// Loads string `id` of `module` (null: the host's executable). Empty when the resource is
// missing or empty. With `substitute`, product-name placeholders are replaced.
BVL::String LoadHostString(ModuleHandle module, unsigned id, bool substitute);

// Entry `index` (0..15) of a raw string block: each entry is a 16-bit unit count followed by
// that many UTF-16 units. Missing when the walk leaves the block or the count is 0.
std::optional<std::u16string> FindStringInBlock(std::span<const std::byte> block, unsigned index);

// (placeholder, product name) pairs in the order they are applied; built once.
const std::vector<std::pair<BVL::String, BVL::String>>& ProductNameTable();

// Replaces every placeholder of the table, pair by pair in table order, searching on just
// after each inserted name. Case-sensitive.
std::u16string SubstituteProductNames(std::u16string_view text);

}  // namespace vyra
