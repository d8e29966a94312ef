// One firmware transfer to the unit on the state's port: wake-up, header, checksum, data frames,
// end frame. Returns when the attempt is over; every outcome has been shown through the host.
#pragma once

namespace romlift {

struct DownloadState;
class DownloadHost;

// True only when the unit answered 0xCC to the end frame. The port and the image are closed on
// every way out; state.outcome says where and why the attempt ended.
bool TransferImage(DownloadState& state, DownloadHost& host);

}  // namespace romlift
