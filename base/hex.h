// Bytes as hex digits, two per byte, the one spelling every trace, log, digest and name uses.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace romlift {

enum class HexCase { Lower, Upper };

// `bytes` as two digits each, `separator` between two bytes unless it is '\0'; "" for no bytes.
std::string Hex(std::span<const uint8_t> bytes, HexCase letters, char separator = '\0');

// The same for the bytes of a text, whatever they are (a file name that is not UTF-8).
std::string Hex(std::string_view bytes, HexCase letters, char separator = '\0');

}  // namespace romlift
