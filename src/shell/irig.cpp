#include "shell/irig.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <chrono>

#include "link/portmap.h"
#include "shell/controlhold.h"
#include "shell/listentry.h"
#include "shell/portlistmodel.h"
#include "shell/progressbar.h"
#include "shell/statuslabel.h"
#include "shell/textbox.h"
#include "status/hostclock.h"
#include "status/replies.h"
#include "status/requests.h"

namespace irig::shell {

namespace {

constexpr int kPortCount = 4096;
constexpr qint64 kSilenceMs = 10000;  // no byte for this long in an update: the status line says so

}  // namespace

IRIG::IRIG(link::PortController& comIrig, lease::Borrower* borrower, QWidget* parent)
    : QMainWindow(parent),
      comIrig(comIrig),
      borrower_(borrower),
      exchange_(comIrig),
      presence_(comIrig),
      clockPoll_(exchange_, [this] { return cmdSetTime->isEnabled(); }) {
    BuildControls(*this, *this);
    portView_ = std::make_unique<PortView>(
        status_, comIrig,
        std::initializer_list<QLabel*>{lblDateData, lblTimeData, lblSourceData, lblVersionNumber},
        [this] { return exchange_.Now(); });
    record_ = std::make_unique<UnitRecord>([this] { return cmbComPort->currentText(); }, comIrig,
                                           [this](const QString& line) { Log(line); }, this);
    Wire();
    Form_Load();
}

IRIG::~IRIG() = default;

// Each control's events and each report of the serial component and the exchange, to its handler.
void IRIG::Wire() {
    for (int i = 0; i < static_cast<int>(mnuCom.size()); ++i) {
        connect(mnuCom[i], &QAction::triggered, this, [this, i] { mnuCom_Click(i); });
    }
    connect(tmrWatch, &QTimer::timeout, this, &IRIG::WatchTick);
    txtFlashStatus->OfferSaveAs({});
    connect(txtFlashStatus, &TextBox::SaveFailed, this, [this](const QString& why) {
        status_.SetSession(QStringLiteral("The log was not saved: %1").arg(why));
    });
    connect(tmrSetTime, &QTimer::timeout, this, &IRIG::SetTimeDue);
    connect(tmrDateTime, &QTimer::timeout, this, &IRIG::tmrDateTime_Timer);
    tmrDateTime->start();
    connect(&clockPoll_, &unit::PollClock::Placed, tmrDateTime, qOverload<>(&QTimer::start));

    new ListEntry(cmbComPort, [this] { cmbComPort_GotFocus(); });
    connect(cmbComPort, &QComboBox::activated, this, &IRIG::cmbComPort_Click);
    status_.ShowOn(statusLine);
    hold_ = std::make_unique<ControlHold>(std::initializer_list<QWidget*>{
        cmdSetTime, cmdSetOffset, cmdRetreiveOffset, cmdRetreiveGpsMessage, cmdReBoot, cmdFlashMode,
        cmbComPort});

    connect(&comIrig, &link::PortController::DataReceived, this, &IRIG::comIrig_DataReceived);
    connect(&presence_, &unit::PortPresence::Lost, this, &IRIG::comIrig_PortLost);
    connect(&presence_, &unit::PortPresence::Opened, this, &IRIG::PortOpened);
    connect(&presence_, &unit::PortPresence::OpenFailed, this, &IRIG::PortFailed);
    connect(&presence_, &unit::PortPresence::Reopened, this, &IRIG::PortReopened);
    connect(&presence_, &unit::PortPresence::WaitingChanged, this, [this](const QString& waiting) {
        portView_->Waiting(cmbComPort->currentText(), waiting);
    });
    if (borrower_ != nullptr) {
        connect(borrower_, &lease::Borrower::Lost, this,
                [this](int, const QString& why) { BorrowRefused(cmbComPort->currentText(), why); });
    }
    connect(&exchange_, &exchange::UnitExchange::SingleCodeReceived, this, &IRIG::SingleCode);
    connect(&clockPoll_, &unit::PollClock::Measured, this,
            [this](const status::ClockOffset& offset) { status_.SetUnit(UnitClockText(offset)); });
    connect(&clockPoll_, &unit::PollClock::Unmeasurable, this,
            [this](const QString& why) { status_.SetUnit(why); });
    connect(&exchange_, &exchange::UnitExchange::SessionStepped, this, &IRIG::Apply);
    connect(&exchange_, &exchange::UnitExchange::ReplyDecoded, this,
            [this](int16_t, const status::StatusView& view) { ShowReply(view); });
    connect(&exchange_, &exchange::UnitExchange::FrameReceived, this,
            [this](int16_t code, const QByteArray& payload) { record_->Heard(code, payload); });
    for (const auto& [button, handler] :
         {std::pair{cmdSetTime, &IRIG::cmdSetTime_Click},
          {cmdSetOffset, &IRIG::cmdSetOffset_Click},
          {cmdRetreiveOffset, &IRIG::cmdRetreiveOffset_Click},
          {cmdRetreiveGpsMessage, &IRIG::cmdRetreiveGpsMessage_Click},
          {cmdLoad, &IRIG::cmdLoad_Click},
          {cmdFlashMode, &IRIG::cmdFlashMode_Click},
          {cmdProgram, &IRIG::cmdProgram_Click},
          {cmdFlashExit, &IRIG::cmdFlashExit_Click},
          {cmdReBoot, &IRIG::cmdReBoot_Click}}) {
        connect(button, &QPushButton::clicked, this, handler);
    }
}

void IRIG::Form_Load() {
    comIrig.SetBaudRate(link::kBaudRate);
    exchange_.Abandon();  // intFlashState 0
    static_cast<PortListModel*>(cmbComPort->model())->AppendUpTo(kPortCount);
    cmbComPort->setCurrentIndex(0);
    cmbComPort_Click();
}

void IRIG::tmrDateTime_Timer() {
    exchange_.EmptyReceived();
    if (cmdSetTime->isEnabled()) {
        clockPoll_.Poll(status::StatusRequest(), tmrDateTime->interval());
        portView_->CheckStale();
    }
}

void IRIG::mnuCom_Click(int index) {
    for (int i = 0; i < static_cast<int>(mnuCom.size()); ++i) {
        mnuCom[i]->setChecked(i == index);
    }
}

void IRIG::SetLinkButtons(bool enabled) {
    for (QPushButton* button :
         {cmdSetTime, cmdSetOffset, cmdRetreiveOffset, cmdRetreiveGpsMessage, cmdReBoot}) {
        hold_->SetEnabled(button, enabled);
    }
}

void IRIG::SetClockButtons(bool enabled) {
    for (QPushButton* button : {cmdSetTime, cmdSetOffset, cmdRetreiveOffset}) {
        hold_->SetEnabled(button, enabled);
    }
}

void IRIG::comIrig_DataReceived() {
    exchange_.DataReceived();
}

qint64 IRIG::UpdateRemainingMs() const {
    return exchange_.Progress().RemainingMs(exchange_.Now());
}

void IRIG::WatchTick() {
    portView_->CheckStale();
    if (blnSessionBusy) {
        status_.SetSession(UpdateText(exchange_.Progress(), exchange_.Now(), kSilenceMs));
    }
    // Without the poll (Flash Mode asked or entered) the values still grey when they go stale.
    if (!blnSessionBusy && (tmrDateTime->isActive() || portView_->Stale())) {
        tmrWatch->stop();
    }
}

void IRIG::ShowReply(const status::StatusView& view) {
    if (view.time) {
        portView_->Confirmed();
    }
    shell::ShowReply(*this, view);
}

void IRIG::SingleCode(int16_t code) {
    if (code == link::code::kReBoot) {
        Log(QStringLiteral("Re-Boot Complete"));
        hold_->SetEnabled(cmdFlashMode, true);
    } else if (code == link::code::kFlashMode) {
        Log(QStringLiteral("Entering Flash Programming Mode"));
        // No tick may empty the receive buffer between a block and its echo, also when the code
        // comes unasked or after a pick restarted the poll.
        tmrDateTime->stop();
        blnLoadAllowed = true;
        ApplyFlashButtons();
        cmdFlashExit->setEnabled(true);
        SetClockButtons(false);
    }
}

// Sent on time: the frame's last byte arrives as the next whole second begins, and carries it.
void IRIG::cmdSetTime_Click() {
    if (tmrSetTime->isActive()) {
        return;  // one frame for a second click during the wait
    }
    setTime_ = status::PlanSetTimeRequest(clock_());
    tmrSetTime->start(std::chrono::round<std::chrono::milliseconds>(setTime_.plan.wait));
    status_.SetClock(status::HostClockText(status::ReadKernelClock(), status::ClockUse::kSetting) +
                     QStringLiteral("  ·  setting the unit to ") +
                     setTime_.plan.second.toString(QStringLiteral("HH:mm:ss")));
}

void IRIG::SetTimeDue() {
    // Entering the list or flash mode meanwhile withdraws the request.
    if (!cmdSetTime->isEnabled()) {
        status_.SetClock(QStringLiteral("Set Time withdrawn"));
        return;
    }
    if (!SendFrame(QStringLiteral("Set Time"), setTime_.frame)) {
        status_.SetClock(QStringLiteral("Set Time not sent"));
        return;
    }
    record_->ClockSent(setTime_.plan.second.toString(QStringLiteral("MM/dd/yyyy HH:mm:ss")));
    clockPoll_.Begin();
    status_.SetUnit({});
    status_.SetClock(status::HostClockText(status::ReadKernelClock(), status::ClockUse::kSetting) +
                     QStringLiteral("  ·  set at ") +
                     setTime_.plan.second.toString(QStringLiteral("HH:mm:ss")));
}

void IRIG::cmdSetOffset_Click() {
    const bool ieee1344 = chkIEEE1344->checkState() == Qt::Checked;
    if (SendFrame(
            QStringLiteral("Set (offsets)"),
            status::SetOffsetsRequest(txtIrigOffset->text(), txtGpsOffset->text(), ieee1344))) {
        record_->OffsetsSent(txtIrigOffset->text(), txtGpsOffset->text(), ieee1344);
    }
}

void IRIG::cmdRetreiveOffset_Click() {
    SendFrame(QStringLiteral("Retreive (offsets)"), status::RetrieveOffsetsRequest());
}

void IRIG::cmdRetreiveGpsMessage_Click() {
    SendFrame(QStringLiteral("Retreive (GPS message)"), status::RetrieveGpsMessageRequest());
}

void IRIG::cmdFlashMode_Click() {
    if (SendFrame(QStringLiteral("Flash Mode"), link::SingleCode(link::code::kFlashMode))) {
        Log(QStringLiteral("Flash Mode Command Sent"));
        tmrDateTime->stop();
        tmrWatch->start();  // the values' staleness, without the poll
    }
}

void IRIG::cmdReBoot_Click() {
    if (SendFrame(QStringLiteral("Re-Boot"), link::SingleCode(link::code::kReBoot))) {
        Log(QStringLiteral("Re-Boot Command Sent"));
    }
}

// A running session ends first: no block may follow the re-boot.
void IRIG::cmdFlashExit_Click() {
    if (blnSessionBusy) {
        exchange_.Abandon();
        status_.SetSession(QStringLiteral("Update left by Exit before it was complete"));
        record_->UpdateLeft();
    }
    Log(QStringLiteral("Exiting Flash Program Mode"));
    if (SendFrame(QStringLiteral("Re-Boot"), link::SingleCode(link::code::kReBoot))) {
        Log(QStringLiteral("Re-Boot Command Sent"));
    }
    record_->Exited();
    blnSessionBusy = false;
    hold_->Release(ControlHold::kSession);
    hold_->SetEnabled(cmdFlashMode, false);
    blnLoadAllowed = false;
    blnProgramAllowed = false;
    ApplyFlashButtons();
    SetClockButtons(true);
    cmdFlashExit->setEnabled(false);
    tmrDateTime->start();
}

void IRIG::cmdProgram_Click() {
    blnSessionBusy = true;
    hold_->Hold(ControlHold::kSession,
                {cmdSetTime, cmdSetOffset, cmdRetreiveOffset, cmdRetreiveGpsMessage, cmdReBoot,
                 cmdFlashMode, cmbComPort});
    ApplyFlashButtons();
    status_.SetSession(ProgressText(0, flash::BlocksToSend(exchange_.Image()), 0, -1));
    tmrWatch->start();
    record_->UpdateStarted(flash::BlocksToSend(exchange_.Image()));
    exchange_.Program();
}

// The session's report of one event; its frame, if any, goes out right after.
void IRIG::Apply(const flash::FlashSession::Step& step) {
    for (const QString& message : step.log) {
        Log(message);
    }
    if (step.progress) {
        prbProgram->SetExact(*step.progress);
    }
    if (step.barVisible) {
        prbProgram->setVisible(*step.barVisible);
    }
    if (step.Ended()) {
        record_->UpdateEnded(step.end);
        blnSessionBusy = false;
        hold_->Release(ControlHold::kSession);
        ApplyFlashButtons();
        status_.SetSession(VerdictText(step.end, exchange_.Progress().ElapsedMs(exchange_.Now())));
    }
}

void IRIG::cmdLoad_Click() {
    const QString path = chooseFlashFile_ ? chooseFlashFile_() : ChooseFlashFile(this);
    if (!path.isEmpty()) {
        LoadFlashFile(path);
    }
}

void IRIG::LoadFlashFile(const QString& path) {
    QFile file(path);
    QString why;
    if (!flash::OpenFirmwareFile(file, &why)) {  // a pipe or a device would block or never end
        Log(QStringLiteral("Flash file load error"));
        blnProgramAllowed = false;
        ApplyFlashButtons();
        return;
    }
    // A reply still on its way must not start programming from the image being rebuilt.
    exchange_.Abandon();
    blnLoading = true;
    blnClosing = false;
    ApplyFlashButtons();

    // The loader lets pending events run between lines; one of them may close or even destroy the
    // window, after which nothing of it may be touched.
    const QPointer<IRIG> alive(this);
    txtFlashStatus->setText(QString());
    flash::HexLoad load(exchange_.Image(), file,
                        [this](const QString& text) { txtFlashStatus->appendText(text); });
    load.Begin(path);
    record_->Loaded(QFileInfo(path).fileName());
    txtFlashStatus->showLatest();
    QCoreApplication::processEvents();
    // cppcheck-suppress knownConditionTrueFalse ; pending events may close or destroy the window
    while (alive && !blnClosing && !load.AtEnd()) {
        load.ReadLine();
        QCoreApplication::processEvents();
    }
    // cppcheck-suppress knownConditionTrueFalse ; as above
    if (!alive) {
        return;
    }
    // A window closed meanwhile never programs the half-built image; a load that outlived flash
    // mode (Exit during the load) leaves Program disabled.
    const bool whole = !blnClosing;
    if (whole) {
        load.Finish();
        file.close();
        if (!load.ReadFailed()) {
            txtFlashStatus->showLatest();
            load.ShowProgramId();
        }
    }
    blnLoading = false;
    blnProgramAllowed = whole && load.Programmable() && blnLoadAllowed;
    ApplyFlashButtons();
}

void IRIG::ApplyFlashButtons() {
    cmdLoad->setEnabled(blnLoadAllowed && !blnLoading && !blnSessionBusy);
    cmdProgram->setEnabled(blnProgramAllowed && !blnLoading);
}

bool IRIG::SendFrame(const QString& command, const QByteArray& frame) {
    const bool sent = exchange_.SendFrame(frame);
    if (!sent) {
        Log(command + QStringLiteral(" not sent: the port is closed; pick a port"));
    }
    return sent;
}

float IRIG::ProgressValue() const {
    return prbProgram->Exact();
}

void IRIG::Log(const QString& message) {
    txtFlashStatus->appendText(message + QLatin1String("\r\n"));
}

}  // namespace irig::shell
