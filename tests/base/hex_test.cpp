#include "hex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace romlift {
namespace {

// Both ends of each nibble, in both letter cases, with and without a separator: what a line
// trace, a SHA-256 digest and a file name's "name_hex" are written with.
TEST(Hex, SpellsEveryByteAsTwoDigits) {
    const std::vector<uint8_t> bytes{0x00, 0x09, 0x0A, 0x5F, 0xA0, 0xFF};
    EXPECT_EQ(Hex(bytes, HexCase::Lower), "00090a5fa0ff");
    EXPECT_EQ(Hex(bytes, HexCase::Upper, ' '), "00 09 0A 5F A0 FF");
    EXPECT_EQ(Hex(std::vector<uint8_t>{}, HexCase::Upper, ' '), "");
    // A text's bytes above 0x7F are bytes, not negative chars.
    EXPECT_EQ(Hex(std::string("P\xFF\x80\0", 4), HexCase::Lower), "50ff8000");
}

}  // namespace
}  // namespace romlift
