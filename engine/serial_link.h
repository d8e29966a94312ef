// The only code that talks to the port during a download. Each operation writes its own failure
// text to the status line before it returns.
#pragma once

#include <cstddef>
#include <cstdint>

namespace romlift {

struct DownloadState;
class DownloadHost;

// Opens and configures the port of the state. On failure: "Can not open Port COMn" shown, the
// image closed, false.
bool OpenPort(DownloadState& state, DownloadHost& host);
// Closes the port; harmless when it is not open.
void ClosePort(DownloadState& state);
// Sends all `count` bytes after earlier output has left. 1 when every byte went out within
// the write wait (2000 ms); otherwise "Down Load Error In Writing" shown and 0.
uint8_t WritePort(DownloadState& state, DownloadHost& host, const uint8_t* bytes, size_t count);
// Pauses 4*count + 20 + 4*count ms (LineTimings), then waits up to timeoutMs for the unit's answer
// and returns its first byte, or 0 on failure (with the failure text shown). `expected` and
// `errorByte` are byte values, 0 meaning none; with both 0 the received byte itself is returned.
// Bytes beyond `count` stay queued for the next call.
uint8_t ReadResponse(DownloadState& state, DownloadHost& host, int count, uint8_t expected,
                     uint8_t errorByte, uint32_t timeoutMs);

}  // namespace romlift
