// Status line texts. Formatted ones are composed by concatenation: a file name never serves as a
// format string.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace romlift::texts {

inline constexpr std::string_view kWriteError = "Down Load Error In Writing";
inline constexpr std::string_view kCrcMismatch = "CRC mismatch Error. Please download again.";
inline constexpr std::string_view kInvalidResponse =
    "Invalid response from the unit.\nCan not proceed. Please retry...";
inline constexpr std::string_view kNotRespondingShort = "Unit is not responding. Please retry...";
inline constexpr std::string_view kCannotOpenFile = "Download :Can not open file";
inline constexpr std::string_view kStreamCannotOpen = "Down Load Can not open file";
inline constexpr std::string_view kWrongModel =
    "Selected VX7R model is not matching with connected model. \nCan not proceed. Please check.";
inline constexpr std::string_view kTouchScreen = "ChkFrmMisMatch_TouchScreen";
inline constexpr std::string_view kLogMem = "ChkFrmMisMatch_LogMem";
inline constexpr std::string_view kAppMem = "ChkFrmMisMatch_AppMem";
inline constexpr std::string_view kReadChunkFailed = "ReadFromPzmFile Failed";
inline constexpr std::string_view kCompleted = "DownLoad is Completed Successfully";
inline constexpr std::string_view kFailed = "Down Load Failed";
// Ours: a station whose record is required shows this when an attempt's row cannot be written,
// and nothing is sent.
inline constexpr std::string_view kCannotWriteRecord = "Can not write the download record";

inline std::string CannotOpenPort(std::string_view port) {
    return "Can not open Port " + std::string(port);
}
inline std::string WrongFrameNumber(int32_t frame) {
    return "Unit has not received the right frame number " +
           std::to_string(static_cast<uint32_t>(frame)) + ". \nPlease download again.";
}
inline std::string NotRespondingAfterFrame(int32_t frame) {
    return "Unit is not responding.\nResponse failed after frame number " +
           std::to_string(static_cast<uint32_t>(frame)) + ". Please retry...";
}
inline std::string Downloading(std::string_view chosenFileName) {
    return "Downloading file " + std::string(chosenFileName) +
           " to selected unit.\nThis takes a long time, please wait...";
}

}  // namespace romlift::texts
