#include "models.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "download_state.h"

namespace romlift {
namespace {

struct Row {
    const char* name;
    const char* prefix;
    uint32_t typeCode;
};

// The model list as the operator sees it, top to bottom.
constexpr Row kRows[] = {
    {"VX7R-KT-121B-XXX", "PLQ5A", 10}, {"VX7R-KT-122B-XXX", "PLQ5B", 10},
    {"VX7R-KT-123B-XXX", "PLQ5C", 9},  {"VX7R-KT-125B-XXX", "125", 15},
    {"VX7R-KT-126B-XXX", "126", 15},   {"VX7R-KT-127B-XXX", "127", 14},
};

TEST(Models, CatalogueInListOrder) {
    const auto models = Models();
    ASSERT_EQ(models.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(models[i].displayName, kRows[i].name) << "row " << i;
        EXPECT_EQ(models[i].prefix, kRows[i].prefix) << "row " << i;
        EXPECT_EQ(models[i].typeCode, kRows[i].typeCode) << "row " << i;
    }
}

TEST(Models, FillModelListAddsNamesInRowOrder) {
    std::vector<std::string> added;
    FillModelList([&](std::string_view name) { added.emplace_back(name); });
    EXPECT_THAT(added,
                ::testing::ElementsAre("VX7R-KT-121B-XXX", "VX7R-KT-122B-XXX", "VX7R-KT-123B-XXX",
                                       "VX7R-KT-125B-XXX", "VX7R-KT-126B-XXX", "VX7R-KT-127B-XXX"));
}

TEST(Models, SelectModelStoresPrefixAndCode) {
    DownloadState state;
    // Walk backwards so that every row changes both fields from the previous one where it can.
    for (int row = 5; row >= 0; --row) {
        SelectModel(state, row);
        EXPECT_EQ(state.modelPrefix, kRows[row].prefix) << "row " << row;
        EXPECT_EQ(state.unitTypeCode, kRows[row].typeCode) << "row " << row;
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
    EXPECT_EQ(FindModel("VX7R-KT-121B-XXX"), 0);
    EXPECT_EQ(FindModel("vx7r-kt-123b-xxx"), 2);
    EXPECT_EQ(FindModel("Vx7r-Kt-127B-xXx"), 5);
    EXPECT_EQ(FindModel("VX7R-KT-125B-XXX"), 3);
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
