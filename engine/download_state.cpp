#include "download_state.h"

#include "models.h"

namespace romlift {

// A line starts on the catalogue's first model, as the dialog's model list does.
DownloadState::DownloadState() {
    SelectModel(*this, 0);
}

std::string PortName(const DownloadState& state) {
    return state.portDevice.empty() ? "COM" + std::to_string(state.selectedPort) : state.portDevice;
}

std::string PortDevice(const DownloadState& state) {
    if (!state.portDevice.empty()) {
        return state.portDevice;
    }
    return state.comDevice.com == state.selectedPort ? state.comDevice.device : std::string();
}

std::string NoDeviceDetail(const DownloadState& state) {
    return state.comDevice.com == state.selectedPort ? state.comDevice.detail
                                                     : "this number was not looked up";
}

}  // namespace romlift
