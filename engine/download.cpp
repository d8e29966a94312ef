#include "download.h"

#include "download_state.h"
#include "transfer.h"

namespace romlift {

AttemptOutcome DoDownload(DownloadState& state, DownloadHost& host, const Locator& locate) {
    state.imageFileName.clear();
    state.imageBytes.reset();
    state.portFault = PortFault{};
    state.outcome = AttemptOutcome{};
    locate(state, host);  // "nothing matched" shows later, as the image that cannot be opened
    if (state.cancel != 0) {
        state.outcome.result = AttemptResult::Cancelled;
        state.outcome.cause = EndCause::Cancelled;
        return state.outcome;
    }
    TransferImage(state, host);
    return state.outcome;
}

}  // namespace romlift
