#include "attempt_thread.h"

#include <atomic>
#include <string_view>
#include <thread>
#include <utility>

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QObject>

#include "download_host.h"
#include "input_gate.h"

namespace romlift {
namespace {

// The engine's side of the hand-over: each call runs on the GUI thread (where `context` lives)
// and the attempt's thread waits for it. Every DownloadHost operation must be forwarded here.
class GuiThreadHost final : public DownloadHost {
  public:
    GuiThreadHost(QObject& context, DownloadHost& target, InputGate& gate)
        : context_(context), target_(target), gate_(gate) {}

    void SetStatus(std::string_view text) override {
        OnGuiThread([&] { target_.SetStatus(text); });
    }
    void PaintProgress(int x) override {
        OnGuiThread([&] { target_.PaintProgress(x); });
    }
    void ClearProgress() override {
        OnGuiThread([&] { target_.ClearProgress(); });
    }
    bool ChooseFirmware(DownloadState& state) override {
        bool chosen = false;
        OnGuiThread([&] {
            // The selection dialog is the one window the user works in during an attempt.
            const InputGate::Pause open(gate_);
            chosen = target_.ChooseFirmware(state);
        });
        return chosen;
    }
    void ShowWaitCursor(bool on) override {
        OnGuiThread([&] { target_.ShowWaitCursor(on); });
    }
    void InvalidateAll() override {
        OnGuiThread([&] { target_.InvalidateAll(); });
    }

  private:
    template <class F>
    void OnGuiThread(F&& call) {
        QMetaObject::invokeMethod(&context_, std::forward<F>(call), Qt::BlockingQueuedConnection);
    }

    QObject& context_;
    DownloadHost& target_;
    InputGate& gate_;
};

}  // namespace

void RunAttempt(DownloadHost& target, const std::function<void(DownloadHost&)>& attempt,
                InputGate::Watcher watcher) {
    InputGate gate;
    gate.SetWatcher(std::move(watcher));
    QObject context;  // lives on this thread: the calls from the attempt run here
    GuiThreadHost host(context, target, gate);
    QEventLoop loop;
    std::atomic<bool> over{false};
    std::thread worker([&] {
        attempt(host);
        over = true;
        // Queued, so a quit that comes before exec() starts still ends it.
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    // QCoreApplication::exit() ends every loop at once; the attempt may still need this thread.
    while (!over) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    worker.join();
}

}  // namespace romlift
