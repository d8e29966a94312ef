#include "download.h"

#include "download_state.h"
#include "transfer.h"

namespace romlift {

AttemptResult DoDownload(DownloadState& state, DownloadHost& host, const Locator& locate) {
    state.imageFileName.clear();
    state.portFault = PortFault{};
    locate(state, host);  // "nothing matched" shows later, as the image that cannot be opened
    if (state.cancel != 0) {
        return AttemptResult::Cancelled;
    }
    return TransferImage(state, host) ? AttemptResult::Confirmed : AttemptResult::Failed;
}

}  // namespace romlift
