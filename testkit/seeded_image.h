// Firmware bytes that look like a real image yet come out the same in every run, so a failing
// frame can be reproduced and a checksum written down.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace romlift::testing {

// `size` bytes of a linear congruential sequence started at `seed`; equal seeds, equal bytes.
std::vector<uint8_t> SeededImage(size_t size, uint32_t seed = 7);

// The image's checksum byte as the exchange carries it: the XOR of all its bytes.
uint8_t ImageXor(const std::vector<uint8_t>& bytes);

}  // namespace romlift::testing
