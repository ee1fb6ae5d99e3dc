// The window's picked port: borrowed from the monitor of this computer while it stays picked,
// opened, lost and back, and given back however the window ends (closed, SIGTERM, SIGHUP, the
// desktop session closing). What the port's unit is told is irig.cpp's.
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>

#include "link/portfailure.h"
#include "link/portmap.h"
#include "shell/controlhold.h"
#include "shell/irig.h"
#include "shell/portlistmodel.h"
#include "shell/textbox.h"
#include "status/hostclock.h"
#include "unit/interrupts.h"

namespace irig::shell {

namespace {

constexpr int kInvalidCall = 5;  // the error number of a step that may fail silently
constexpr int kHungUp = 129;     // the exit code SIGHUP asks for, as shells give it

}  // namespace

void IRIG::cmbComPort_GotFocus() {
    hold_->SetEnabled(cmdSetTime, false);
    presence_.Close();
    status_.SetClock({});  // the host clock's state shows again with the port
    if (borrower_ != nullptr) {
        borrower_->Return(0);  // the port is closed: its loan goes back
        status_.SetLease({});
    }
    portView_->Closed();
    static_cast<PortListModel*>(cmbComPort->model())->Refresh();
}

void IRIG::cmbComPort_Click() {
    const QString port = cmbComPort->currentText();
    status_.SetUnit({});
    if (borrower_ != nullptr) {
        // Opened once the monitor of this computer has lent it, or says it does not watch it.
        presence_.Close();
        status_.SetLease({});
        HoldLinkButtons();
        borrower_->Return(0);
        borrower_->TakeIfWatched(
            0, {link::PortAsOpened(port)},
            [this, port](bool borrowed) { BorrowReady(port, borrowed); },
            [this, port](const QString& why) { BorrowRefused(port, why); });
    } else {
        OpenPicked(port);
    }
    // A Flash Mode request the unit never answered stopped the poll; a pick starts it again.
    if (!blnLoadAllowed && !tmrDateTime->isActive()) {
        tmrDateTime->start();
    }
    // Before the window is first shown this only records where the focus goes when it is.
    txtFlashStatus->setFocus();
}

void IRIG::BorrowReady(const QString& port, bool borrowed) {
    if (port == cmbComPort->currentText()) {
        status_.SetLease(borrowed ? QStringLiteral("borrowed from irigctl monitor") : QString());
        OpenPicked(port);
    }
}

// Lent to another, or the loan ended: the port stays closed, saying why.
void IRIG::BorrowRefused(const QString& port, const QString& why) {
    if (port == cmbComPort->currentText()) {
        presence_.Close();
        status_.SetLease({});
        PortFailed(port, why);
    }
}

void IRIG::OpenPicked(const QString& port) {
    txtFlashStatus->setText(QStringLiteral("Com port ") + port + QStringLiteral(" opened."));
    hold_->Release(ControlHold::kPortClosed);
    SetLinkButtons(true);
    const int error = presence_.Open(port);
    if (error == link::kPortOpening) {
        // A terminal server's port: what the pick says comes when the connection is decided.
        txtFlashStatus->setText(QString());
        HoldLinkButtons();
        portView_->Connecting(port);
    } else if (error != link::kPortOpened && error != kInvalidCall) {
        PortFailed(port, link::FailureText(port, comIrig.LastFailure()));
    } else {
        ShowOpen(port);
    }
}

// The buttons that talk to the unit stay disabled until the port is back; what the rest of the
// window writes to them meanwhile shows then.
void IRIG::comIrig_PortLost(const QString& reason) {
    const QString port = cmbComPort->currentText();
    Log(QStringLiteral("Error on port ") + port + QStringLiteral(" - port closed (") + reason +
        QLatin1Char(')'));
    HoldLinkButtons();
    if (blnSessionBusy) {
        exchange_.LineLost();
    }
    portView_->Lost(port, reason, presence_.Waiting());
}

void IRIG::HoldLinkButtons() {
    hold_->Hold(ControlHold::kPortClosed,
                {cmdSetTime, cmdSetOffset, cmdRetreiveOffset, cmdRetreiveGpsMessage, cmdReBoot});
}

// A terminal server's port that was picked is connected: the pick's written open message.
void IRIG::PortOpened(const QString& port) {
    txtFlashStatus->setText(QStringLiteral("Com port ") + port + QStringLiteral(" opened."));
    ShowOpen(port);
}

void IRIG::ShowOpen(const QString& port) {
    hold_->Release(ControlHold::kPortClosed);
    portView_->Open(port);
    status_.SetClock(status::HostClockText(status::ReadKernelClock(), status::ClockUse::kSetting));
    clockPoll_.PortOpened();
}

// The pick's failure handling: the written log line, and the link buttons disabled.
void IRIG::PortFailed(const QString& port, const QString& why) {
    txtFlashStatus->setText(QStringLiteral("Error opening port ") + port);
    hold_->Release(ControlHold::kPortClosed);
    SetLinkButtons(false);
    portView_->Failed(why);
}

void IRIG::PortReopened(const QString& port) {
    Log(QStringLiteral("Com port ") + port + QStringLiteral(" opened."));
    ShowOpen(port);
}

void IRIG::closeEvent(QCloseEvent* event) {
    blnClosing = true;  // ends a load that is running
    if (borrower_ != nullptr) {
        presence_.Close();
        borrower_->Return(0);  // RunWindow waits for it
    }
    QMainWindow::closeEvent(event);
}

int RunWindow(IRIG& window, lease::Borrower* borrower) {
    int code = 0;
    unit::Interrupts interrupts;
    interrupts.CatchHangUp();
    QObject::connect(&interrupts, &unit::Interrupts::Interrupted, &window, [&](int asked) {
        code = asked;
        window.close();
    });
    QObject::connect(&interrupts, &unit::Interrupts::HungUp, &window, [&] {
        code = kHungUp;
        window.close();
    });
    // A desktop session closing may end the program without closing its windows.
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, &window, &QWidget::close);
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, &window, &QWidget::close);
    window.show();
    const int ended = QApplication::exec();
    window.close();
    // A port borrowed goes back before the program ends, within the return's own bounded wait.
    if (borrower != nullptr && borrower->Outstanding() > 0) {
        QEventLoop returning;
        QObject::connect(borrower, &lease::Borrower::Returned, &returning, [&] {
            if (borrower->Outstanding() == 0) {
                returning.quit();
            }
        });
        returning.exec();
    }
    return code != 0 ? code : ended;
}

}  // namespace irig::shell
