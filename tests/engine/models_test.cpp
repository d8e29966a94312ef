#include "models.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "download_state.h"

namespace romlift {
namespace {

// A few rows as the model list shows them, top to bottom: row, display name, prefix, type code.
TEST(Models, RowsOfTheCatalogue) {
    const auto models = Models();
    ASSERT_EQ(models.size(), 6u);
    const struct {
        size_t row;
        std::string_view name, prefix;
        uint32_t typeCode;
    } rows[] = {
        {0, "VX7R-KT-121B-XXX", "PLQ5A", 10},
        {2, "VX7R-KT-123B-XXX", "PLQ5C", 9},
        {3, "VX7R-KT-125B-XXX", "125", 15},
        {5, "VX7R-KT-127B-XXX", "127", 14},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(models[r.row].displayName, r.name) << "row " << r.row;
        EXPECT_EQ(models[r.row].prefix, r.prefix) << "row " << r.row;
        EXPECT_EQ(models[r.row].typeCode, r.typeCode) << "row " << r.row;
    }
    // A fresh line is on the first row, as the model list starts.
    const DownloadState fresh;
    EXPECT_EQ(fresh.modelPrefix, "PLQ5A");
    EXPECT_EQ(fresh.unitTypeCode, 10u);
}

// Each name finds its own row, and no model's prefix begins another's: a firmware file is
// offered for one model only.
TEST(Models, NamesAndPrefixesTellTheModelsApart) {
    const auto models = Models();
    for (size_t i = 0; i < models.size(); ++i) {
        EXPECT_EQ(FindModel(models[i].displayName), static_cast<int>(i));
        for (size_t j = 0; j < models.size(); ++j) {
            if (i != j) {
                EXPECT_NE(models[j].prefix.substr(0, models[i].prefix.size()), models[i].prefix)
                    << "rows " << i << " and " << j;
            }
        }
    }
}

TEST(Models, FillModelListAndSelectModelFollowTheRows) {
    std::vector<std::string> added;
    FillModelList([&](std::string_view name) { added.emplace_back(name); });
    ASSERT_EQ(added.size(), Models().size());
    DownloadState state;
    // Backwards, so that each row changes the fields the previous one left where it can.
    for (int row = 5; row >= 0; --row) {
        EXPECT_EQ(added[row], Models()[row].displayName) << "row " << row;
        SelectModel(state, row);
        EXPECT_EQ(state.modelPrefix, Models()[row].prefix) << "row " << row;
        EXPECT_EQ(state.unitTypeCode, Models()[row].typeCode) << "row " << row;
    }
}

TEST(Models, SelectModelOutsideTheListKeepsSelection) {
    DownloadState state;
    SelectModel(state, 3);
    for (int row : {-1, 6, 100, -100}) {
        SelectModel(state, row);
        EXPECT_EQ(state.modelPrefix, "125") << "row " << row;
        EXPECT_EQ(state.unitTypeCode, 15u) << "row " << row;
    }
}

TEST(Models, FindModelIgnoresLetterCase) {
    EXPECT_EQ(FindModel("vx7r-kt-123b-xxx"), 2);
    EXPECT_EQ(FindModel("Vx7r-Kt-127B-xXx"), 5);
}

TEST(Models, FindModelRejectsNearMisses) {
    for (const char* name : {"VX7R-KT-123B", "", "PLQ5C", "VX7R-KT-123B-XXX ", " VX7R-KT-123B-XXX",
                             "VX7R-KT-123B-XXXX", "VX7R-KT-124B-XXX", "VX7R_KT_123B_XXX"}) {
        EXPECT_EQ(FindModel(name), std::nullopt) << '"' << name << '"';
    }
    // An embedded NUL must not cut the comparison short.
    EXPECT_EQ(FindModel(std::string_view("VX7R-KT-123B-XXX\0", 17)), std::nullopt);
}

}  // namespace
}  // namespace romlift
