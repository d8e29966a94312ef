// Reads a fuzz input front to back. Past the end every read yields its `otherwise` value, so any
// input, the empty one included, describes a complete run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace romlift::fuzz {

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return pos_ >= size_; }
    size_t Left() const { return size_ - pos_; }

    uint8_t Byte(uint8_t otherwise = 0) { return Empty() ? otherwise : data_[pos_++]; }
    // Little-endian, like the numbers on the line.
    uint16_t U16(uint16_t otherwise = 0) {
        if (Left() < 2) {
            pos_ = size_;
            return otherwise;
        }
        const uint16_t v = static_cast<uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
        pos_ += 2;
        return v;
    }
    // Up to `n` bytes, fewer at the end of the input.
    std::string Bytes(size_t n) {
        const size_t take = n < Left() ? n : Left();
        std::string s(reinterpret_cast<const char*>(data_ + pos_), take);
        pos_ += take;
        return s;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

}  // namespace romlift::fuzz
