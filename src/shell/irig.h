// The window "IRIG-B Configuration": owns the controls and the window-level state, and wires each
// control event and each report of the exchange with the unit to what it changes on screen.
#pragma once

#include <QDateTime>
#include <QMainWindow>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "exchange/unitexchange.h"
#include "lease/borrower.h"
#include "link/portcontroller.h"
#include "shell/controls.h"
#include "shell/portview.h"
#include "shell/statusline.h"
#include "shell/textbox.h"
#include "shell/unitrecord.h"
#include "status/settime.h"
#include "unit/pollclock.h"
#include "unit/portpresence.h"

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTimer;

namespace irig::shell {

class ControlHold;
class ProgressBar;
class StatusLabel;
class TextBox;

class IRIG final : public QMainWindow, private Controls {
    Q_OBJECT

public:
    using Clock = std::function<status::HostTime()>;
    using SteadyClock = std::function<qint64()>;  // milliseconds, for durations only
    using FileChooser = std::function<QString()>;

    // comIrig must outlive the window, and so must `borrower` (of one unit): with one, a picked
    // port that a monitor watches is borrowed from it before it opens, for as long as it stays
    // picked (pickedport.cpp).
    explicit IRIG(link::PortController& comIrig, lease::Borrower* borrower = nullptr,
                  QWidget* parent = nullptr);
    ~IRIG() override;

    // Event handlers, public so that tests can raise the events the platform would.
    void tmrDateTime_Timer();
    void cmbComPort_GotFocus();
    void cmbComPort_Click();
    void mnuCom_Click(int index);  // the entries Com&1 to Com&8, index 0 to 7
    void comIrig_DataReceived();
    void comIrig_PortLost(const QString& reason);
    void cmdSetTime_Click();
    void cmdSetOffset_Click();
    void cmdRetreiveOffset_Click();
    void cmdRetreiveGpsMessage_Click();
    void cmdLoad_Click();
    void cmdFlashMode_Click();
    void cmdProgram_Click();
    void cmdFlashExit_Click();
    void cmdReBoot_Click();
    // Every 500 ms while an update runs or Flash Mode has stopped the poll: the update's time
    // left, the unit's silence, the values' staleness.
    void WatchTick();

    // The host's clock, read once per Set Time; tests pin it.
    void SetClock(Clock clock) { clock_ = std::move(clock); }
    // The clock that times updates, silences and stale values; tests drive it.
    void SetSteadyClock(SteadyClock clock) { exchange_.SetSteadyClock(std::move(clock)); }
    // Where Load gets its file: the open dialog unless a test chooses. An empty path cancels.
    void SetFlashFileChooser(FileChooser chooser) { chooseFlashFile_ = std::move(chooser); }
    // Where Save Log As writes: the save dialog unless a test chooses. An empty path cancels.
    void SetLogFileChooser(FileChooser chooser) { txtFlashStatus->OfferSaveAs(std::move(chooser)); }
    // The status log's context menu: Copy, Select All and Save Log As…; the caller owns it.
    QMenu* LogMenu() { return txtFlashStatus->ContextMenu(); }
    QString StatusLineText() const { return status_.Text(); }
    // The update's time still to go, from the rate of its blocks so far; negative while unknown.
    qint64 UpdateRemainingMs() const;

    // The progress bar's exact value; the bar itself shows whole percent.
    float ProgressValue() const;
    // Where the changes the window makes to the unit are recorded: the system log unless a test
    // chooses.
    void SetChangeSink(unit::ChangeRecord::Sink sink) { record_->SetSink(std::move(sink)); }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void ShowReply(const status::StatusView& view);
    void SingleCode(int16_t code);

    void Form_Load();
    void Wire();
    void OpenPicked(const QString& port);
    void BorrowReady(const QString& port, bool borrowed);
    void BorrowRefused(const QString& port, const QString& why);
    void PortOpened(const QString& port);
    void ShowOpen(const QString& port);  // the port is open: buttons, status line, measurement
    void PortFailed(const QString& port, const QString& why);
    void PortReopened(const QString& port);
    void SetLinkButtons(bool enabled);
    void HoldLinkButtons();              // while the port is closed or being connected
    void SetClockButtons(bool enabled);  // Set Time, Set and Retreive (offsets)
    // Sends a command's frame; when no port is open to take it, the log says that `command` was
    // not sent, and it returns false.
    bool SendFrame(const QString& command, const QByteArray& frame);
    void Log(const QString& message);
    void SetTimeDue();
    void LoadFlashFile(const QString& path);
    void Apply(const flash::FlashSession::Step& step);
    void ApplyFlashButtons();

    link::PortController& comIrig;
    lease::Borrower* borrower_;
    Clock clock_ = &std::chrono::system_clock::now;
    FileChooser chooseFlashFile_;

    // The receiver (strRxData), the flash session and the image abytFlashImage.
    exchange::UnitExchange exchange_;

    // Load and Program as the unit's codes, the loads and Exit set them; a running load disables
    // both, and a programming session disables Load, so a block never comes from a half-built or
    // different image.
    bool blnLoadAllowed = false;
    bool blnProgramAllowed = false;
    bool blnLoading = false;
    bool blnSessionBusy = false;
    bool blnClosing = false;
    // From Program to the session's end only Program and Exit may reach the unit or the port: every
    // other control that sends, and the port list, are held disabled.
    std::unique_ptr<ControlHold> hold_;

    // What the status line says, and what it is worked out from.
    StatusLine status_;
    unit::PortPresence presence_;  // the port picked, awaited back as itself when it goes away
    std::unique_ptr<PortView> portView_;
    std::unique_ptr<UnitRecord> record_;  // the changes made, and the version after an update

    // Set Time waits for the next whole second less the frame's wire time, then sends it.
    status::SetTimeSend setTime_;

    // The unit's clock against the computer's, measured from the poll once a minute and after
    // each Set Time.
    unit::PollClock clockPoll_;
};

// Shows `window` and runs until it is closed, SIGTERM or SIGHUP comes, or the desktop session
// closes: each closes the window, so that its port closes (leaving no lock file) and its loan goes
// back, waited for, before the program ends. The exit code: the signal's, else the application's.
int RunWindow(IRIG& window, lease::Borrower* borrower);

}  // namespace irig::shell
