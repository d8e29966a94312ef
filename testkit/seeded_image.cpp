#include "seeded_image.h"

namespace romlift::testing {

std::vector<uint8_t> SeededImage(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed;
    for (uint8_t& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

uint8_t ImageXor(const std::vector<uint8_t>& bytes) {
    uint8_t x = 0;
    for (uint8_t b : bytes) {
        x ^= b;
    }
    return x;
}

}  // namespace romlift::testing
