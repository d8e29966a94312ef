#include "protocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace romlift {
namespace {

using Header = std::array<uint8_t, 20>;

// A header as it goes on the wire: byte 0 from the caller, bytes 1..19 from BuildHeader, built
// in a zeroed buffer with one guard byte behind it.
Header WireHeader(uint32_t typeCode) {
    std::array<uint8_t, 21> buf{};
    buf[0] = 0x14;
    buf[20] = 0x5A;
    FirmwareHelper::BuildHeader(typeCode, buf.data() + 1);
    EXPECT_EQ(buf[20], 0x5A) << "wrote past header byte 19 for code " << typeCode;
    Header h{};
    std::copy(buf.begin(), buf.begin() + 20, h.begin());
    return h;
}

struct HeaderCase {
    uint32_t typeCode;
    Header bytes;
};

class HeaderBytes : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderBytes, AllTwentyBytes) {
    EXPECT_THAT(WireHeader(GetParam().typeCode), ::testing::ElementsAreArray(GetParam().bytes));
}

// clang-format off
// Columns: length, code lo, code hi, 0x18, bytes 4-6, byte 7, bytes 8-10, 11, 12, bytes 13-19.
INSTANTIATE_TEST_SUITE_P(Codes, HeaderBytes, ::testing::Values(
    // Catalogue codes.
    HeaderCase{9,       {0x14, 0x09, 0x00, 0x18, 0,0,0, 0, 0,0,0, 1, 1, 0,0,0,0,0,0,0}},
    HeaderCase{10,      {0x14, 0x0A, 0x00, 0x18, 0,0,0, 0, 0,0,0, 1, 1, 0,0,0,0,0,0,0}},
    HeaderCase{14,      {0x14, 0x0E, 0x00, 0x18, 0,0,0, 0, 0,0,0, 1, 1, 0,0,0,0,0,0,0}},
    HeaderCase{15,      {0x14, 0x0F, 0x00, 0x18, 0,0,0, 0, 0,0,0, 1, 1, 0,0,0,0,0,0,0}},
    // Byte 12 is 0 only for code 30.
    HeaderCase{30,      {0x14, 0x1E, 0x00, 0x18, 0,0,0, 0, 0,0,0, 1, 0, 0,0,0,0,0,0,0}},
    // Byte 7 is 1 for 510 and 520.
    HeaderCase{510,     {0x14, 0xFE, 0x01, 0x18, 0,0,0, 1, 0,0,0, 1, 1, 0,0,0,0,0,0,0}},
    HeaderCase{520,     {0x14, 0x08, 0x02, 0x18, 0,0,0, 1, 0,0,0, 1, 1, 0,0,0,0,0,0,0}},
    HeaderCase{0x1234,  {0x14, 0x34, 0x12, 0x18, 0,0,0, 0, 0,0,0, 1, 1, 0,0,0,0,0,0,0}},
    // Only the low 16 bits of the code go out.
    HeaderCase{0x12345, {0x14, 0x45, 0x23, 0x18, 0,0,0, 0, 0,0,0, 1, 1, 0,0,0,0,0,0,0}}));
// clang-format on

// Header byte 7 for codes that do not define it keeps whatever the buffer held; every other byte
// is written whatever the buffer held.
struct MarkerCase {
    uint32_t typeCode;
    uint8_t byte7;
};

class HeaderOverMarker : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(HeaderOverMarker, Byte7AndTheRestWritten) {
    std::array<uint8_t, 20> out;
    out.fill(0xAB);
    FirmwareHelper::BuildHeader(GetParam().typeCode, out.data());
    // out[k] is header byte k + 1.
    EXPECT_EQ(out[6], GetParam().byte7);
    EXPECT_EQ(out[0], static_cast<uint8_t>(GetParam().typeCode & 0xFF));
    EXPECT_EQ(out[1], static_cast<uint8_t>((GetParam().typeCode >> 8) & 0xFF));
    EXPECT_EQ(out[2], 0x18);
    for (int k : {3, 4, 5, 7, 8, 9, 12, 13, 14, 15, 16, 17, 18}) {
        EXPECT_EQ(out[k], 0) << "header byte " << k + 1;
    }
    EXPECT_EQ(out[10], 1);
    EXPECT_EQ(out[11], GetParam().typeCode == 30 ? 0 : 1);
    EXPECT_EQ(out[19], 0xAB) << "header has 19 bytes after the length byte";
}

INSTANTIATE_TEST_SUITE_P(Codes, HeaderOverMarker,
                         ::testing::Values(MarkerCase{10, 0}, MarkerCase{20, 0}, MarkerCase{30, 0},
                                           MarkerCase{40, 0}, MarkerCase{41, 0}, MarkerCase{500, 0},
                                           MarkerCase{510, 1}, MarkerCase{520, 1},
                                           MarkerCase{9, 0xAB}, MarkerCase{14, 0xAB},
                                           MarkerCase{15, 0xAB}, MarkerCase{0, 0xAB},
                                           MarkerCase{511, 0xAB}, MarkerCase{0x1234, 0xAB}));

TEST(XorBlock, FrameXorResetByCallerRunningXorKept) {
    const std::vector<uint8_t> first{0x01, 0x02, 0x04, 0x80};
    const std::vector<uint8_t> second{0x10, 0x20, 0xFF};
    uint8_t running = 0;

    uint8_t frame = 0;
    FirmwareHelper::XorBlock(first.data(), first.size(), frame, running);
    EXPECT_EQ(frame, 0x87);
    EXPECT_EQ(running, 0x87);

    frame = 0;
    FirmwareHelper::XorBlock(second.data(), second.size(), frame, running);
    EXPECT_EQ(frame, 0xCF);
    EXPECT_EQ(running, 0x48);
}

TEST(XorBlock, AccumulatesIntoExistingValues) {
    const uint8_t data[] = {0x0F, 0x33};
    uint8_t frame = 0x80;
    uint8_t running = 0x01;
    FirmwareHelper::XorBlock(data, 2, frame, running);
    EXPECT_EQ(frame, 0xBC);
    EXPECT_EQ(running, 0x3D);

    // An empty last frame changes neither byte.
    FirmwareHelper::XorBlock(data, 0, frame, running);
    EXPECT_EQ(frame, 0xBC);
    EXPECT_EQ(running, 0x3D);
}

TEST(TotalFrames, FiftyBytesAFrame) {
    const std::pair<uint32_t, int32_t> cases[] = {
        {0, 0}, {1, 1}, {49, 1}, {50, 1}, {51, 2}, {100, 2}, {101, 3}, {65536, 1311},
    };
    for (const auto& [size, frames] : cases) {
        EXPECT_EQ(protocol::TotalFrames(size), frames) << "image of " << size << " bytes";
    }
}

}  // namespace
}  // namespace romlift
