#include "protocol.h"

namespace romlift::FirmwareHelper {

void BuildHeader(uint32_t typeCode, uint8_t* out) {
    // out[k] is header byte k + 1.
    out[0] = static_cast<uint8_t>(typeCode & 0xFF);
    out[1] = static_cast<uint8_t>((typeCode >> 8) & 0xFF);
    out[2] = 0x18;
    out[3] = out[4] = out[5] = 0;
    switch (typeCode) {
        case 10:
        case 20:
        case 30:
        case 40:
        case 41:
        case 500:
            out[6] = 0;
            break;
        case 510:
        case 520:
            out[6] = 1;
            break;
        default:
            break;
    }
    out[7] = out[8] = out[9] = 0;
    out[10] = 1;
    out[11] = typeCode == 30 ? 0 : 1;
    for (int i = 12; i < 19; ++i) {
        out[i] = 0;
    }
}

void XorBlock(const uint8_t* data, size_t n, uint8_t& frameXor, uint8_t& runningXor) {
    for (size_t i = 0; i < n; ++i) {
        frameXor ^= data[i];
        runningXor ^= data[i];
    }
}

}  // namespace romlift::FirmwareHelper
