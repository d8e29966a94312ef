#include "download_state.h"

#include "com_map.h"
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
    return state.portDevice.empty() ? ports::ResolveCom(state.selectedPort).device
                                    : state.portDevice;
}

}  // namespace romlift
