// Letter case ignored the way file names and model names need it: only A-Z fold, byte by byte.
// File names are bytes in no particular encoding, and the user's locale (which the window program
// takes from the environment) must not change which model or firmware file a name picks.
#pragma once

#include <algorithm>
#include <string_view>

namespace romlift {

constexpr unsigned char FoldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

constexpr bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return FoldAscii(static_cast<unsigned char>(x)) ==
                      FoldAscii(static_cast<unsigned char>(y));
           });
}

// Folded to lower case, so '_' sorts before the letters.
constexpr bool LessIgnoringCase(std::string_view a, std::string_view b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return FoldAscii(static_cast<unsigned char>(x)) < FoldAscii(static_cast<unsigned char>(y));
    });
}

}  // namespace romlift
