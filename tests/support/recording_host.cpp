#include "recording_host.h"

#include "download_state.h"

namespace romlift::testing {

int RecordingHost::Frame() const {
    return state_ != nullptr ? state_->frameCounter : 0;
}

void RecordingHost::SetStatus(std::string_view text) {
    events.push_back({HostEvent::Status, std::string(text), 0, Frame()});
}

void RecordingHost::PaintProgress(int x) {
    events.push_back({HostEvent::Paint, {}, x, Frame()});
    if (onPaint) {
        onPaint(Frame());
    }
}

void RecordingHost::ClearProgress() {
    events.push_back({HostEvent::Clear, {}, 0, Frame()});
}

bool RecordingHost::ChooseFirmware(DownloadState& state) {
    events.push_back({HostEvent::Choose, {}, 0, Frame()});
    return onChoose ? onChoose(state) : true;
}

void RecordingHost::ShowWaitCursor(bool on) {
    events.push_back({HostEvent::Cursor, {}, on ? 1 : 0, Frame()});
}

void RecordingHost::InvalidateAll() {
    events.push_back({HostEvent::Invalidate, {}, 0, Frame()});
}

std::vector<std::string> RecordingHost::Statuses() const {
    std::vector<std::string> out;
    for (const HostEvent& e : events) {
        if (e.kind == HostEvent::Status) {
            out.push_back(e.text);
        }
    }
    return out;
}

std::vector<int> RecordingHost::Paints() const {
    std::vector<int> out;
    for (const HostEvent& e : events) {
        if (e.kind == HostEvent::Paint) {
            out.push_back(e.value);
        }
    }
    return out;
}

int RecordingHost::Count(HostEvent::Kind kind) const {
    int n = 0;
    for (const HostEvent& e : events) {
        n += e.kind == kind ? 1 : 0;
    }
    return n;
}

}  // namespace romlift::testing
