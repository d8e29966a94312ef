// The column table's own check: a table that would make a wrong statement or lose a field is
// refused when the library is built.
#include <gtest/gtest.h>

#include <vector>

#include "columns.h"

namespace romlift::record::detail {
namespace {

TEST(ColumnTableTest, FaultsThatWouldLoseOrMixUpFieldsAreFound) {
    constexpr Column kIdColumn{"id", kId, 0, 1, kBoth, &R::id};
    constexpr Column kRowKey{"row_key", kKey, 0, 1, kBoth, &R::rowKey};
    constexpr Column kLot{"lot", kText, 0, 2, kBoth, &R::lot};
    const struct {
        std::vector<Column> table;
        std::string_view fault;
    } cases[] = {
        {{kIdColumn, kRowKey, kLot}, ""},
        {{kIdColumn, kRowKey, kLot, {"lot", kText, 0, 2, kBoth, &R::unitSerial}},
         "two columns have one name"},
        {{kIdColumn, kRowKey, kLot, {"unit_serial", kText, 0, 2, kBoth, &R::lot}},
         "two columns read one member of the row"},
        {{kIdColumn, kRowKey, {"lot", kText, 0, 2, kBoth, {}}},
         "a column has no member of the row to read and write"},
        {{kIdColumn, kRowKey, {"lot", kInt64, 0, 2, kBoth, &R::lot}},
         "a column's kind and its member's type disagree"},
        {{kIdColumn, kRowKey, {"outcome", kOutcome, 0, 1, kBoth, &R::statusText}},
         "a column's kind and its member's type disagree"},
        {{kIdColumn, kLot}, "a table needs one id and one key column"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TableFault(c.table), c.fault) << c.fault;
    }
}

}  // namespace
}  // namespace romlift::record::detail
