#include "hex.h"

namespace romlift {

std::string Hex(std::span<const uint8_t> bytes, HexCase letters, char separator) {
    const char* digits = letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * (separator != '\0' ? 3 : 2));
    for (const uint8_t b : bytes) {
        if (separator != '\0' && !out.empty()) {
            out += separator;
        }
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

std::string Hex(std::string_view bytes, HexCase letters, char separator) {
    // unsigned char may alias any object's bytes, so the text is read in place.
    return Hex(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), letters,
               separator);
}

}  // namespace romlift
