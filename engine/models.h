// The unit models the tool knows: what the model list shows, which firmware files belong to a
// model, and the type code its download header announces.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

namespace romlift {

struct DownloadState;

struct UnitModel {
    std::string_view displayName;
    std::string_view prefix;  // leading characters of the model's firmware file names
    uint32_t typeCode;        // low 16 bits go into the header
};

// In model-list order; the row index is the position.
std::span<const UnitModel> Models();

// Adds the display names in row order through `add`; the caller selects row 0 afterwards.
void FillModelList(const std::function<void(std::string_view)>& add);

// For rows 0..5 stores the row's prefix and type code in the state; any other row (a list with no
// selection reports -1) changes nothing.
void SelectModel(DownloadState& state, int row);

// Row of the model whose display name equals `name`, letter case ignored.
std::optional<int> FindModel(std::string_view name);

}  // namespace romlift
