#include "models.h"

#include <array>

#include "ascii_case.h"
#include "download_state.h"

namespace romlift {
namespace {

// row  display name            prefix   type code
constexpr std::array<UnitModel, 6> kModels{{
    {"VX7R-KT-121B-XXX", "PLQ5A", 10},
    {"VX7R-KT-122B-XXX", "PLQ5B", 10},
    {"VX7R-KT-123B-XXX", "PLQ5C", 9},
    {"VX7R-KT-125B-XXX", "125", 15},
    {"VX7R-KT-126B-XXX", "126", 15},
    {"VX7R-KT-127B-XXX", "127", 14},
}};

}  // namespace

std::span<const UnitModel> Models() {
    return kModels;
}

void FillModelList(const std::function<void(std::string_view)>& add) {
    for (const UnitModel& m : kModels) {
        add(m.displayName);
    }
}

void SelectModel(DownloadState& state, int row) {
    if (row < 0 || row >= static_cast<int>(kModels.size())) {
        return;
    }
    state.modelPrefix = std::string(kModels[row].prefix);
    state.unitTypeCode = kModels[row].typeCode;
}

std::optional<int> FindModel(std::string_view name) {
    for (size_t i = 0; i < kModels.size(); ++i) {
        if (EqualsIgnoringCase(kModels[i].displayName, name)) {
            return static_cast<int>(i);
        }
    }
    return std::nullopt;
}

}  // namespace romlift
