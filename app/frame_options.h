// What the main window asks a person, and where it reads the keyboard lock LEDs, as the owner of
// the window wants it. Each answer, when set, runs instead of its dialog; unset, the dialog shows.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>

#include <QString>

#include "download_prompts.h"

namespace romlift {

struct FrameOptions {
    // A chosen path, or nullopt for Cancel.
    using PathAnswer = std::function<std::optional<QString>()>;

    PathAnswer fileOpen;
    PathAnswer saveAs;
    // Instead of the print dialog: the PDF file the page goes to (nullopt: Cancel).
    PathAnswer printToPdf;
    // Receives the text instead of a message box.
    std::function<void(const QString& text)> message;
    std::filesystem::path ledsFolder = "/sys/class/leds";
    // Handed to each Download dialog the window opens.
    DownloadPrompts download;
};

}  // namespace romlift
