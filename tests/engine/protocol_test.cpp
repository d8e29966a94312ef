#include "protocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace romlift {
namespace {

// Header bytes 1..19 as BuildHeader leaves them in a buffer that held 0xAB, then the buffer's next
// byte: byte 7 is written only for the codes that define it, every other byte always, and nothing
// past byte 19. In the transmit buffer, zeroed, an 0xAB here goes out as 0.
struct HeaderCase {
    uint32_t typeCode;
    std::array<uint8_t, 20> bytes;
};

class HeaderBytes : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderBytes, NineteenBytesOverAMarkedBuffer) {
    std::array<uint8_t, 20> out;
    out.fill(0xAB);
    FirmwareHelper::BuildHeader(GetParam().typeCode, out.data());
    EXPECT_THAT(out, ::testing::ElementsAreArray(GetParam().bytes));
}

// clang-format off
// Columns: header byte 1, 2, 3, 4-6, 7, 8-10, 11, 12, 13-19; then the byte behind the header.
INSTANTIATE_TEST_SUITE_P(Codes, HeaderBytes, ::testing::Values(
    // Codes that define byte 7.
    HeaderCase{10,      {0x0A, 0x00, 0x18, 0,0,0, 0x00, 0,0,0, 1, 1, 0,0,0,0,0,0,0, 0xAB}},
    HeaderCase{20,      {0x14, 0x00, 0x18, 0,0,0, 0x00, 0,0,0, 1, 1, 0,0,0,0,0,0,0, 0xAB}},
    HeaderCase{30,      {0x1E, 0x00, 0x18, 0,0,0, 0x00, 0,0,0, 1, 0, 0,0,0,0,0,0,0, 0xAB}},
    HeaderCase{40,      {0x28, 0x00, 0x18, 0,0,0, 0x00, 0,0,0, 1, 1, 0,0,0,0,0,0,0, 0xAB}},
    HeaderCase{41,      {0x29, 0x00, 0x18, 0,0,0, 0x00, 0,0,0, 1, 1, 0,0,0,0,0,0,0, 0xAB}},
    HeaderCase{500,     {0xF4, 0x01, 0x18, 0,0,0, 0x00, 0,0,0, 1, 1, 0,0,0,0,0,0,0, 0xAB}},
    HeaderCase{510,     {0xFE, 0x01, 0x18, 0,0,0, 0x01, 0,0,0, 1, 1, 0,0,0,0,0,0,0, 0xAB}},
    HeaderCase{520,     {0x08, 0x02, 0x18, 0,0,0, 0x01, 0,0,0, 1, 1, 0,0,0,0,0,0,0, 0xAB}},
    // The catalogue's codes, and others, leave byte 7 as it was.
    HeaderCase{9,       {0x09, 0x00, 0x18, 0,0,0, 0xAB, 0,0,0, 1, 1, 0,0,0,0,0,0,0, 0xAB}},
    HeaderCase{14,      {0x0E, 0x00, 0x18, 0,0,0, 0xAB, 0,0,0, 1, 1, 0,0,0,0,0,0,0, 0xAB}},
    HeaderCase{15,      {0x0F, 0x00, 0x18, 0,0,0, 0xAB, 0,0,0, 1, 1, 0,0,0,0,0,0,0, 0xAB}},
    HeaderCase{0,       {0x00, 0x00, 0x18, 0,0,0, 0xAB, 0,0,0, 1, 1, 0,0,0,0,0,0,0, 0xAB}},
    HeaderCase{511,     {0xFF, 0x01, 0x18, 0,0,0, 0xAB, 0,0,0, 1, 1, 0,0,0,0,0,0,0, 0xAB}},
    HeaderCase{0x1234,  {0x34, 0x12, 0x18, 0,0,0, 0xAB, 0,0,0, 1, 1, 0,0,0,0,0,0,0, 0xAB}},
    // Only the low 16 bits of the code go out.
    HeaderCase{0x12345, {0x45, 0x23, 0x18, 0,0,0, 0xAB, 0,0,0, 1, 1, 0,0,0,0,0,0,0, 0xAB}}));
// clang-format on

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
