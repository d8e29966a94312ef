#include "download_row.h"

#include <openssl/rand.h>

#include <array>
#include <span>

#include "hex.h"

namespace romlift::record {

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Confirmed:
            return "confirmed";
        case Outcome::Failed:
            return "failed";
        case Outcome::Interrupted:
            return "interrupted";
        case Outcome::Unfinished:
            return "unfinished";
    }
    return "failed";
}

std::optional<Outcome> ParseOutcome(std::string_view text) {
    for (const Outcome o : kOutcomes) {
        if (text == OutcomeName(o)) {
            return o;
        }
    }
    return std::nullopt;
}

std::string NewRowKey() {
    std::array<unsigned char, 16> b{};
    if (RAND_bytes(b.data(), static_cast<int>(b.size())) != 1) {
        return {};
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    const std::span<const uint8_t> all(b);
    return Hex(all.first(4), HexCase::Lower) + '-' + Hex(all.subspan(4, 2), HexCase::Lower) + '-' +
           Hex(all.subspan(6, 2), HexCase::Lower) + '-' + Hex(all.subspan(8, 2), HexCase::Lower) +
           '-' + Hex(all.subspan(10), HexCase::Lower);
}

}  // namespace romlift::record
