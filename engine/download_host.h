// What the engine needs from its front end (the Download dialog, the command line, a test).
#pragma once

#include <string_view>

namespace romlift {

struct DownloadState;

// What the front end makes of the located image before anything is opened.
enum class ImageAdmission {
    Admitted,   // send it (from state.imageBytes when the front end set them)
    NotOpened,  // the front end could not read it: shown as a file that does not open
    Refused,    // it must not reach a unit; the host keeps its reason
};

class DownloadHost {
  public:
    // Replaces the whole status line. "\n" breaks the line. Must show at once: the engine holds the
    // calling thread until the attempt is over.
    virtual void SetStatus(std::string_view text) = 0;
    // Paint the bar to x (pixels of a 200-pixel scale) for the frame counter in the state.
    virtual void PaintProgress(int x) = 0;
    // Issued at the start of an attempt and when its frame phase ends.
    virtual void ClearProgress() = 0;
    // Several firmware files matched: let the user pick one. Writes the choice into the state;
    // false (and the state's cancel flag set) when the user cancelled.
    virtual bool ChooseFirmware(DownloadState& state) = 0;
    virtual void ShowWaitCursor(bool on) = 0;
    // The attempt has finished and the whole window may repaint (the bar is erased).
    virtual void InvalidateAll() {}
    // The image is located and nothing is open yet. The host may read the file once into
    // state.imageBytes, which the transfer then sends instead of the file, or refuse the image:
    // then the status line says "Download :Can not open file" and the port is never opened.
    virtual ImageAdmission AdmitImage(DownloadState& /*state*/) { return ImageAdmission::Admitted; }
    // The image and the port are open and nothing has gone to the unit yet: the last moment to
    // keep the attempt from sending (its record row could not be written, say). False ends the
    // attempt with nothing sent; the host has shown its own text.
    virtual bool BeginSending(DownloadState& /*state*/) { return true; }

  protected:
    ~DownloadHost() = default;
};

}  // namespace romlift
