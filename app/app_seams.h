// Lets tests answer the modal questions the frame asks (file dialogs, print dialog, message
// boxes). Each answer, when set, runs instead of the dialog; unset, the real dialog shows.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>

#include <QString>

namespace romlift::app_seams {

// The chosen path, or nullopt for Cancel.
using PathAnswer = std::function<std::optional<QString>()>;

inline PathAnswer fileOpenAnswer;
inline PathAnswer saveAsAnswer;
// When set, Print skips its dialog and prints to this PDF file.
inline std::optional<QString> printToPdf;
// Where the keyboard lock LEDs are read from.
inline std::filesystem::path ledsFolder = "/sys/class/leds";
// Receives the text instead of a message box.
inline std::function<void(const QString& text)> messageAnswer;

}  // namespace romlift::app_seams
