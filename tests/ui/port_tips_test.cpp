// The Download dialog's port buttons and status line say what is behind each COM number and why
// a port did not open, against a made-up sysfs tree: adapters plugged and pulled while it is open.
#include <stdlib.h>

#include <list>
#include <memory>
#include <vector>

#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "dialog_template.h"
#include "download_dialog.h"
#include "download_state.h"
#include "fake_sysfs.h"
#include "scratch_dir.h"
#include "ui_test_support.h"

namespace romlift {

class PortTipsTest : public QObject {
    Q_OBJECT
  private slots:
    void init() {
        scratch_ = std::make_unique<testing::ScratchDir>();
        sysfs_ = std::make_unique<testing::FakeSysfs>(scratch_->Path() / "sys");
        for (const char* name : {"ROMLIFT_SYSFS", "XDG_CONFIG_HOME", "ROMLIFT_COM3"}) {
            env_.emplace_back(name);
        }
        setenv("ROMLIFT_SYSFS", sysfs_->Root().c_str(), 1);
        setenv("XDG_CONFIG_HOME", (scratch_->Path() / "cfg").c_str(), 1);
    }
    void cleanup() {
        env_.clear();  // the suite's own settings come back
        sysfs_.reset();
        scratch_.reset();
    }

    void buttonsNameTheDeviceBehindEachNumberAndFollowHotPlug() {
        sysfs_->AddTtyS(0, true);
        sysfs_->Plug({});
        setenv("ROMLIFT_COM3", "/dev/pts/9", 1);
        DownloadState state;
        CDownloadDlg dlg(state, {scratch_->Path(), {}});
        QCOMPARE(Tip(dlg, CDownloadDlg::kCom1), QString("COM1: /dev/ttyS0, UART (Alt+1)"));
        QCOMPARE(Tip(dlg, CDownloadDlg::kCom2),
                 QString("COM2: /dev/ttyUSB0, FTDI FT232R USB UART, serial A50285BI (Alt+2)"));
        QCOMPARE(Tip(dlg, CDownloadDlg::kCom3), QString("COM3: /dev/pts/9, ROMLIFT_COM3 (Alt+3)"));
        QCOMPARE(Tip(dlg, CDownloadDlg::kCom4), QString("COM4: no device has this number (Alt+4)"));

        testing::FakeAdapter second;
        second.name = "ttyUSB1";
        second.serial = "";
        second.usbPort = "3-1";
        second.manufacturer = "";
        second.productName = "";
        sysfs_->Plug(second);
        sysfs_->Unplug({});
        QTRY_COMPARE(Tip(dlg, CDownloadDlg::kCom4),
                     QString("COM4: /dev/ttyUSB1, USB adapter 0403:6001, USB port 3-1 (Alt+4)"));
        QCOMPARE(Tip(dlg, CDownloadDlg::kCom2),
                 QString("COM2: the adapter saved for this number (0403:6001 serial A50285BI) "
                         "is not plugged in (Alt+2)"));
    }

    void aPortThatDidNotOpenSaysWhyOnTheAdviceLine() {
        ui_testing::ProgramFolder folder;
        folder.AddFirmware("PLQ5A-1.abs", 60);
        DownloadState state;
        CDownloadDlg dlg(state, {folder.Path(), {}});
        ui_testing::Press(dlg, CDownloadDlg::kDownload);
        auto* status = dialog::Find<QLabel>(dlg, CDownloadDlg::kStatus);
        QCOMPARE(status->text(), QString("Can not open Port COM1"));
        const QString advice = dlg.AdviceLine()->text();
        QVERIFY2(advice.startsWith("COM1: no device has this number; plug in the adapter"),
                 qPrintable(advice));
    }

  private:
    static QString Tip(CDownloadDlg& dlg, int id) {
        return dialog::Find<QRadioButton>(dlg, id)->toolTip();
    }

    std::unique_ptr<testing::ScratchDir> scratch_;
    std::unique_ptr<testing::FakeSysfs> sysfs_;
    std::list<testing::EnvVar> env_;
};

}  // namespace romlift

int RunPortTipsTests(int argc, char** argv) {
    romlift::PortTipsTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "port_tips_test.moc"
