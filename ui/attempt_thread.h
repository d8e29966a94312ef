// Runs a download attempt off the GUI thread, so that the windows keep painting while the engine
// waits for the unit, and still gives the engine the synchronous front end it expects.
#pragma once

#include <functional>

#include "input_gate.h"

namespace romlift {

class DownloadHost;

// Runs `attempt` on a thread of its own and returns when it has returned. Meanwhile the calling
// (GUI) thread serves its event loop: expose, move, resize, timers; user input is dropped as it
// arrives (InputGate), except while `target` asks the user to choose a firmware file.
//
// `attempt` gets a host whose every call is carried out on the GUI thread, on `target`, and waited
// for: the engine's texts and bar show at once and in the order it reports them, and nothing of
// `target` is touched from the other thread. Data the attempt shares with `target` (the
// DownloadState) is handed over at each such call and when RunAttempt returns.
//
// `watcher` (when given) sees each input event dropped meanwhile (InputGate::SetWatcher).
//
// Must be called on the GUI thread while a QApplication exists.
void RunAttempt(DownloadHost& target, const std::function<void(DownloadHost&)>& attempt,
                InputGate::Watcher watcher = {});

}  // namespace romlift
