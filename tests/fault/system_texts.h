// Every text the engine may put on the status line during one transfer of an image of `frames`
// data frames through COMn, written out here (not taken from the engine) so that a changed or
// invented text fails the check.
#pragma once

#include <set>
#include <string>

namespace romlift::testing {

inline std::string DownloadingText(const std::string& chosenFileName) {
    return "Downloading file " + chosenFileName +
           " to selected unit.\nThis takes a long time, please wait...";
}

inline constexpr const char* kCompletedText = "DownLoad is Completed Successfully";

inline std::set<std::string> SystemTexts(const std::string& chosenFileName, int frames, int port) {
    std::set<std::string> texts = {
        DownloadingText(chosenFileName),
        "Download :Can not open file",
        "Down Load Can not open file",
        "Can not open Port COM" + std::to_string(port),
        "Down Load Error In Writing",
        "CRC mismatch Error. Please download again.",
        "Invalid response from the unit.\nCan not proceed. Please retry...",
        "Unit is not responding. Please retry...",
        "Selected VX7R model is not matching with connected model. \nCan not proceed. Please "
        "check.",
        "ChkFrmMisMatch_TouchScreen",
        "ChkFrmMisMatch_LogMem",
        "ChkFrmMisMatch_AppMem",
        "ReadFromPzmFile Failed",
        kCompletedText,
        "Down Load Failed",
    };
    for (int frame = 0; frame <= frames; ++frame) {
        const std::string n = std::to_string(frame);
        texts.insert("Unit is not responding.\nResponse failed after frame number " + n +
                     ". Please retry...");
        if (frame > 0) {
            texts.insert("Unit has not received the right frame number " + n +
                         ". \nPlease download again.");
        }
    }
    return texts;
}

}  // namespace romlift::testing
