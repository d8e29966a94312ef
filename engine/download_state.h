// The record that the dialog, the locator and the engine share for one download line. The GUI
// owns one for the process; the command line makes one per port.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "attempt_outcome.h"
#include "image_reader.h"
#include "line_tap.h"
#include "line_timings.h"
#include "port_fault.h"
#include "serial_port.h"

namespace romlift {

// What a COM number named when the front end looked it up in the COM map. The engine knows no
// map: it opens the path it is handed, and names the port COMn in its texts.
struct ComDevice {
    int com = 0;         // the number looked up; 0 before any look-up
    std::string device;  // the path to open; "" when nothing has the number
    std::string detail;  // for "": why nothing has it, in the map's words
};

struct DownloadState {
    // On the first model of the catalogue.
    DownloadState();

    // COMn chosen with the port buttons, 1 at dialog start-up.
    int selectedPort = 1;
    // What COMn names for this attempt: the front end looks it up once, before the port first
    // opens. A look-up for another number than selectedPort opens nothing, so a stale one cannot
    // send an image down the line of another COM number.
    ComDevice comDevice;
    // When not empty, this device is opened instead of COMn and named in the texts as given
    // (the command line's --port /dev/ttyUSB0).
    std::string portDevice;
    // The device path the last open of the port used (what COMn named then).
    std::string openedDevice;

    std::string modelPrefix;
    uint32_t unitTypeCode = 0;  // low 16 bits go into the header

    // This machine's serial device for the port.
    SerialPort port;
    // The line and the clock the engine works through; unset: `port` and SystemClock(). A test,
    // a benchmark or the fuzz target hands in others (a virtual unit on a virtual clock); they
    // must outlive every attempt made with this state.
    SerialLine* line = nullptr;
    const Clock* clock = nullptr;
    LineTimings timings;
    SerialLine& Line() {
        if (line != nullptr) {
            return *line;
        }
        return port;
    }
    const SerialLine& Line() const {
        if (line != nullptr) {
            return *line;
        }
        return port;
    }
    const Clock& Time() const { return clock != nullptr ? *clock : SystemClock(); }
    ImageStream image;
    // Why the port last failed to open or went away; cleared when a download attempt and each
    // port open begin. Only front ends read it.
    PortFault portFault;

    std::filesystem::path imageFileName;  // full path of the firmware image
    // The image as the front end read it once to check it (DownloadHost::AdmitImage): when set,
    // the transfer sends exactly these bytes and never reads imageFileName, so a file changed
    // after the check cannot reach the unit. Cleared when a download attempt begins.
    std::shared_ptr<const std::vector<uint8_t>> imageBytes;
    std::string chosenFileName;           // bare file name, shown in "Downloading file ..."
    std::string programFolder;            // folder of the running executable, ending in '/'
    std::filesystem::path driversFolder;  // where the firmware images are searched
    std::string searchPattern;            // drivers folder / prefix*.abs, as shown to people

    uint8_t handshake = 0;     // 0x99 for the wake-up, then the image checksum
    int32_t frameCounter = 0;  // data frame being sent, from 1; 0 before the first
    int32_t totalFrames = 0;
    int cancel = 0;  // set when the user cancels the file selection

    // How the attempt under way, or the last one, ended; filled by the engine as it goes.
    AttemptOutcome outcome;
    // What the last write or answer wait on the line came to: None when it went as expected.
    EndCause lineCause = EndCause::None;
    int lineAnswer = -1;  // the byte that made it Refused or UnexpectedAnswer

    // Trace of the line, when wanted; `phase` says what the next bytes belong to.
    LineTap* tap = nullptr;
    LinePhase phase = LinePhase::WakeUp;
};

// The name texts use for the port: "COM3", or the device path given instead.
std::string PortName(const DownloadState& state);
// The device path to open for the port: portDevice, or the device handed in for COMn ("" when
// nothing has that number, or the number was not looked up).
std::string PortDevice(const DownloadState& state);
// Why PortDevice is "": the look-up's words for COMn.
std::string NoDeviceDetail(const DownloadState& state);

}  // namespace romlift
