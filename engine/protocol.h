// Byte layout of the download exchange. Pure functions: no I/O, no state.
//
//   wake-up   host 0x99                          unit 0x99
//   header    host 20 bytes (BuildHeader)        unit 0x01 / 0x00 / 0x51 / 0xFC / 0xFD / 0xFE
//   checksum  host XOR of the whole image        unit the same byte
//   frame     host [n, off lo, off hi, data, x]  unit 0x01 / 0xFF
//   end       host [0xCC, XOR of all data]       unit 0xCC / 0xFF
#pragma once

#include <cstddef>
#include <cstdint>

namespace romlift::protocol {

inline constexpr uint8_t kWakeUp = 0x99;
inline constexpr uint8_t kHeaderLength = 0x14;
inline constexpr size_t kFrameData = 50;     // data bytes in every frame but the last
inline constexpr size_t kFrameOverhead = 4;  // length, two offset bytes, XOR
inline constexpr size_t kTxBuffer = 100;     // transmit buffer, zeroed before each message
inline constexpr size_t kChunkCapacity = kTxBuffer - 3;
inline constexpr size_t kRxBuffer = 100;  // the most one read of an answer takes
inline constexpr uint8_t kAccepted = 0x01;
inline constexpr uint8_t kFrameError = 0xFF;
inline constexpr uint8_t kEndMark = 0xCC;

// Header answers other than kAccepted.
inline constexpr uint8_t kHeaderInvalid = 0x00;
inline constexpr uint8_t kWrongModel = 0x51;
inline constexpr uint8_t kTouchScreenMismatch = 0xFC;
inline constexpr uint8_t kLogMemMismatch = 0xFD;
inline constexpr uint8_t kAppMemMismatch = 0xFE;

// Number of data frames for an image of `size` bytes (0 for an empty image, which still goes out
// as one empty frame).
constexpr int32_t TotalFrames(uint32_t size) {
    return static_cast<int32_t>(size / kFrameData + (size % kFrameData != 0 ? 1 : 0));
}

}  // namespace romlift::protocol

namespace romlift::FirmwareHelper {

// Writes header bytes 1..19 into out[0..18] (the caller's zeroed buffer after byte 0 = 0x14).
// Byte 7 is written only for the codes that define it; for other codes it keeps what `out` held.
void BuildHeader(uint32_t typeCode, uint8_t* out);

// XORs each of the n bytes into the per-frame byte and into the running byte.
void XorBlock(const uint8_t* data, size_t n, uint8_t& frameXor, uint8_t& runningXor);

}  // namespace romlift::FirmwareHelper
