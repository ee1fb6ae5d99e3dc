#include "shell/irig.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>
#include <algorithm>
#include <chrono>

#include "link/portmap.h"
#include "shell/controlhold.h"
#include "shell/fontfit.h"
#include "shell/portlistmodel.h"
#include "shell/progressbar.h"
#include "shell/statuslabel.h"
#include "shell/textbox.h"
#include "status/hostclock.h"
#include "status/replies.h"
#include "status/requests.h"

namespace irig::shell {

namespace {

// The window's layout is given in twips; 15 twips make a pixel at 96 DPI, and Qt scales pixels
// for the screen.
QRect Twips(int left, int top, int width, int height) {
    return {left / 15, top / 15, width / 15, height / 15};
}

template <typename Widget>
Widget* Place(QWidget* parent, const char* name, QRect place) {
    auto* widget = new Widget(parent);
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(place);
    return widget;
}

QLabel* MakeLabel(QWidget* parent, const char* name, QRect place, const char* caption = "") {
    auto* label = Place<QLabel>(parent, name, place);
    label->setTextFormat(Qt::PlainText);
    label->setText(QLatin1String(caption));
    return label;
}

// A value the unit reports, shown as a read-only field: it paints its own background, so that a
// new value repaints the field alone, not the frame behind it.
QLabel* MakeValue(QWidget* parent, const char* name, QRect place) {
    QLabel* value = MakeLabel(parent, name, place);
    value->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    value->setBackgroundRole(QPalette::Base);
    value->setAutoFillBackground(true);
    value->setIndent(2);
    return value;
}

qint64 SteadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QPushButton* MakeButton(QWidget* parent, const char* name, QRect place, const char* caption) {
    auto* button = Place<QPushButton>(parent, name, place);
    button->setText(QLatin1String(caption));
    button->setAutoDefault(false);
    return button;
}

QGroupBox* MakeFrame(QWidget* parent, const char* name, QRect place, const char* caption) {
    auto* frame = Place<QGroupBox>(parent, name, place);
    frame->setTitle(QLatin1String(caption));
    return frame;
}

// A reply's text for a control, if the reply carries one.
template <typename Widget>
void ShowText(Widget* control, const std::optional<QString>& text) {
    if (text) {
        control->setText(*text);
    }
}

constexpr int kPortCount = 4096;
constexpr int kInvalidCall = 5;       // the error number of a step that may fail silently
constexpr qint64 kStaleMs = 1500;     // no clock reply for this long while polling: values greyed
constexpr qint64 kSilenceMs = 10000;  // no byte for this long in an update: the status line says so
constexpr int kWatchMs = 500;
constexpr int kDescribeAfterMs = 300;

}  // namespace

IRIG::IRIG(link::PortController& comIrig, QWidget* parent)
    : QMainWindow(parent),
      comIrig(comIrig),
      steady_(&SteadyMilliseconds),
      exchange_(comIrig),
      portWatch_(comIrig) {
    BuildControls();
    Form_Load();
}

IRIG::~IRIG() = default;

void IRIG::BuildControls() {
    setObjectName(QStringLiteral("IRIG"));
    setWindowTitle(QStringLiteral("IRIG-B Configuration"));
    setWindowIcon(QIcon(QStringLiteral(":/irig-config.png")));

    QMenu* mnuComm = menuBar()->addMenu(QStringLiteral("&Communications"));
    mnuComm->setObjectName(QStringLiteral("mnuComm"));
    for (int i = 0; i < static_cast<int>(mnuCom.size()); ++i) {
        QAction* entry = mnuComm->addAction(QStringLiteral("Com&%1").arg(i + 1));
        entry->setObjectName(QStringLiteral("mnuCom%1").arg(i + 1));
        entry->setCheckable(true);
        entry->setChecked(i == 0);
        connect(entry, &QAction::triggered, this, [this, i] { mnuCom_Click(i); });
        mnuCom[i] = entry;
    }

    auto* client = new QWidget(this);
    client->setFixedSize(Twips(0, 0, 9645, 5295).size());
    setCentralWidget(client);

    fraDateTime = MakeFrame(client, "fraDateTime", Twips(240, 360, 3132, 1812), "Date && Time");
    lblDate = MakeLabel(fraDateTime, "lblDate", Twips(120, 360, 492, 252), "Date");
    lblTime = MakeLabel(fraDateTime, "lblTime", Twips(120, 720, 492, 252), "Time");
    lblSource = MakeLabel(fraDateTime, "lblSource", Twips(120, 1080, 612, 252), "Source");
    lblDateData = MakeValue(fraDateTime, "lblDateData", Twips(960, 360, 1332, 252));
    lblTimeData = MakeValue(fraDateTime, "lblTimeData", Twips(960, 720, 1332, 252));
    lblSourceData = MakeValue(fraDateTime, "lblSourceData", Twips(960, 1080, 1332, 252));
    cmdSetTime = MakeButton(fraDateTime, "cmdSetTime", Twips(1080, 1440, 1092, 252), "Set Time");

    fraTimeOffset = MakeFrame(client, "fraTimeOffset", Twips(240, 2400, 3132, 1575), "Time Offset");
    lblIrigOffset =
        MakeLabel(fraTimeOffset, "lblIrigOffset", Twips(120, 360, 1092, 252), "IRIG-B Offset");
    lblGpsOffset =
        MakeLabel(fraTimeOffset, "lblGpsOffset", Twips(120, 720, 1092, 252), "GPS Offset");
    txtIrigOffset = Place<QLineEdit>(fraTimeOffset, "txtIrigOffset", Twips(1440, 360, 492, 288));
    txtGpsOffset = Place<QLineEdit>(fraTimeOffset, "txtGpsOffset", Twips(1440, 720, 492, 288));
    cmdSetOffset = MakeButton(fraTimeOffset, "cmdSetOffset", Twips(2160, 360, 852, 252), "Set");
    cmdRetreiveOffset =
        MakeButton(fraTimeOffset, "cmdRetreiveOffset", Twips(2160, 720, 852, 252), "Retreive");
    chkIEEE1344 = Place<QCheckBox>(fraTimeOffset, "chkIEEE1344", Twips(120, 1080, 1095, 255));
    chkIEEE1344->setText(QStringLiteral("IEEE 1344"));

    fraFlash = MakeFrame(client, "fraFlash", Twips(3720, 480, 5655, 3615), "Flash Memory");
    cmdReBoot = MakeButton(fraFlash, "cmdReBoot", Twips(120, 480, 1095, 255), "Re-Boot");
    cmdFlashMode = MakeButton(fraFlash, "cmdFlashMode", Twips(120, 840, 1092, 252), "Flash Mode");
    cmdLoad = MakeButton(fraFlash, "cmdLoad", Twips(120, 1200, 1092, 252), "Load");
    cmdProgram = MakeButton(fraFlash, "cmdProgram", Twips(120, 1560, 1092, 252), "Program");
    cmdFlashExit = MakeButton(fraFlash, "cmdFlashExit", Twips(120, 1920, 1092, 252), "Exit");
    lblVersion = MakeLabel(fraFlash, "lblVersion", Twips(120, 2400, 615, 255), "Version");
    lblVersionNumber = MakeValue(fraFlash, "lblVersionNumber", Twips(720, 2400, 495, 255));
    lblComPort = MakeLabel(fraFlash, "lblComPort", Twips(120, 2760, 735, 255), "Com Port");
    cmbComPort = Place<QComboBox>(fraFlash, "cmbComPort", Twips(120, 3000, 1095, 315));
    txtFlashStatus = Place<TextBox>(fraFlash, "txtFlashStatus", Twips(1440, 360, 3975, 2535));
    prbProgram = Place<ProgressBar>(fraFlash, "prbProgram", Twips(1440, 3120, 3975, 255));
    prbProgram->hide();
    for (QPushButton* flashButton : {cmdFlashMode, cmdLoad, cmdProgram, cmdFlashExit}) {
        flashButton->setEnabled(false);
    }

    fraGpsMessage = MakeFrame(client, "fraGpsMessage", Twips(240, 4200, 9135, 855), "GPS Message");
    cmdRetreiveGpsMessage =
        MakeButton(fraGpsMessage, "cmdRetreiveGpsMessage", Twips(240, 360, 855, 315), "Retreive");
    txtGpsMessage = Place<TextBox>(fraGpsMessage, "txtGpsMessage", Twips(1320, 360, 7575, 375));

    statusLine_ = new StatusLabel(this);
    statusLine_->setObjectName(QStringLiteral("statusLine"));
    statusBar()->addWidget(statusLine_, 1);
    statusBar()->setSizeGripEnabled(false);
    watch_ = new QTimer(this);
    watch_->setObjectName(QStringLiteral("tmrWatch"));
    watch_->setInterval(kWatchMs);
    connect(watch_, &QTimer::timeout, this, &IRIG::WatchTick);
    txtFlashStatus->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(txtFlashStatus, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        QMenu* menu = LogMenu();
        menu->exec(txtFlashStatus->mapToGlobal(at));
        delete menu;
    });

    tmrSetTime_ = new QTimer(this);
    tmrSetTime_->setObjectName(QStringLiteral("tmrSetTime"));
    tmrSetTime_->setSingleShot(true);
    tmrSetTime_->setTimerType(Qt::PreciseTimer);
    connect(tmrSetTime_, &QTimer::timeout, this, [this] {
        // Entering the list or flash mode meanwhile withdraws the request.
        if (!cmdSetTime->isEnabled()) {
            status_.clock = QStringLiteral("Set Time withdrawn");
        } else {
            SendFrame(setTime_.frame);
            status_.clock = status::HostClockText(status::ReadKernelClock()) +
                            QStringLiteral("  ·  set at ") +
                            setTime_.plan.second.toString(QStringLiteral("HH:mm:ss"));
        }
        ShowStatus();
    });

    tmrDateTime = new QTimer(this);
    tmrDateTime->setObjectName(QStringLiteral("tmrDateTime"));
    tmrDateTime->setInterval(500);
    connect(tmrDateTime, &QTimer::timeout, this, &IRIG::tmrDateTime_Timer);
    tmrDateTime->start();

    // Sizing the list to its widest entry would measure all 4096 of them; "COM4096" is the widest.
    cmbComPort->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    cmbComPort->setMinimumContentsLength(7);
    // The wheel may change the list only once the operator has entered it (see eventFilter).
    cmbComPort->setFocusPolicy(Qt::StrongFocus);
    cmbComPort->setModel(new PortListModel(cmbComPort));
    auto* portView = new QListView(cmbComPort);
    portView->setUniformItemSizes(true);
    cmbComPort->setView(portView);
    cmbComPort->installEventFilter(this);
    for (QPushButton* button : fraFlash->findChildren<QPushButton*>() +
                                   fraDateTime->findChildren<QPushButton*>() +
                                   fraTimeOffset->findChildren<QPushButton*>() +
                                   fraGpsMessage->findChildren<QPushButton*>()) {
        button->installEventFilter(this);
    }
    connect(cmbComPort, &QComboBox::activated, this, &IRIG::cmbComPort_Click);

    hold_ = std::make_unique<ControlHold>(std::initializer_list<QWidget*>{
        cmdSetTime, cmdSetOffset, cmdRetreiveOffset, cmdRetreiveGpsMessage, cmdReBoot, cmdFlashMode,
        cmbComPort});

    connect(&comIrig, &link::PortController::DataReceived, this, &IRIG::comIrig_DataReceived);
    connect(&comIrig, &link::PortController::PortLost, this, &IRIG::comIrig_PortLost);
    connect(&portWatch_, &link::PortWatch::Reopened, this, &IRIG::PortReopened);
    connect(&portWatch_, &link::PortWatch::WaitingChanged, this, &IRIG::ShowPortLost);
    connect(&exchange_, &exchange::UnitExchange::SingleCodeReceived, this, &IRIG::SingleCode);
    connect(&exchange_, &exchange::UnitExchange::SessionStepped, this, &IRIG::Apply);
    connect(&exchange_, &exchange::UnitExchange::ReplyDecoded, this,
            [this](int16_t, const status::StatusView& view) { ShowReply(view); });
    connect(cmdSetTime, &QPushButton::clicked, this, &IRIG::cmdSetTime_Click);
    connect(cmdSetOffset, &QPushButton::clicked, this, &IRIG::cmdSetOffset_Click);
    connect(cmdRetreiveOffset, &QPushButton::clicked, this, &IRIG::cmdRetreiveOffset_Click);
    connect(cmdRetreiveGpsMessage, &QPushButton::clicked, this, &IRIG::cmdRetreiveGpsMessage_Click);
    connect(cmdLoad, &QPushButton::clicked, this, &IRIG::cmdLoad_Click);
    connect(cmdFlashMode, &QPushButton::clicked, this, &IRIG::cmdFlashMode_Click);
    connect(cmdProgram, &QPushButton::clicked, this, &IRIG::cmdProgram_Click);
    connect(cmdFlashExit, &QPushButton::clicked, this, &IRIG::cmdFlashExit_Click);
    connect(cmdReBoot, &QPushButton::clicked, this, &IRIG::cmdReBoot_Click);

    QWidget* const tabOrder[] = {
        cmdLoad,      cmdProgram,    txtFlashStatus,        cmdFlashMode,  cmdSetTime,
        cmdFlashExit, txtIrigOffset, txtGpsOffset,          cmdSetOffset,  cmdRetreiveOffset,
        chkIEEE1344,  cmdReBoot,     cmdRetreiveGpsMessage, txtGpsMessage, cmbComPort};
    for (size_t i = 1; i < std::size(tabOrder); ++i) {
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }

    FitToFont(client);
    DescribeForScreenReaders();
}

// Every caption and value shows whole in the desktop's font: the written arrangement grows as one,
// by as much as its most crowded text needs.
void IRIG::FitToFont(QWidget* client) {
    QList<TextRoom> rooms;
    for (QLabel* caption :
         {lblDate, lblTime, lblSource, lblIrigOffset, lblGpsOffset, lblVersion, lblComPort}) {
        rooms.append(TextRoom{caption, caption->text()});
    }
    // The widest values the unit can make them show.
    const QString widestDate = QStringLiteral("00/00/0000");
    const QString widestTime = QStringLiteral("00:00:00");
    const QString widestSource = QStringLiteral("Internal Crystal");
    const QString widestOffset = QStringLiteral("-128");
    rooms.append(TextRoom{lblDateData, widestDate});
    rooms.append(TextRoom{lblTimeData, widestTime});
    rooms.append(TextRoom{lblSourceData, widestSource});
    rooms.append(TextRoom{lblVersionNumber, status::VersionText(255)});
    rooms.append(TextRoom{txtIrigOffset, widestOffset});
    rooms.append(TextRoom{txtGpsOffset, widestOffset});
    rooms.append(TextRoom{chkIEEE1344, {}});
    rooms.append(TextRoom{cmbComPort, QStringLiteral("COM4096")});
    for (QWidget* frame : {fraDateTime, fraTimeOffset, fraFlash, fraGpsMessage}) {
        rooms.append(TextRoom{frame, {}});
        for (QPushButton* button : frame->findChildren<QPushButton*>()) {
            rooms.append(TextRoom{button, {}});
        }
    }
    const double growth = GrowthFor(rooms);
    if (growth > 1.0) {
        Grow(client, growth);
    }
    // A value of fixed size never asks its frame to lay out again when its text changes.
    for (QLabel* value : {lblDateData, lblTimeData, lblSourceData, lblVersionNumber}) {
        value->setFixedSize(value->size());
    }
    // The open list shows "COM4096" whole, in bold for a port that exists.
    QFont bold = cmbComPort->font();
    bold.setBold(true);
    cmbComPort->view()->setMinimumWidth(
        QFontMetrics(bold).horizontalAdvance(QStringLiteral("COM4096")) +
        cmbComPort->view()->verticalScrollBar()->sizeHint().width() +
        4 * cmbComPort->view()->frameWidth() + 16);
}

// Boxes without a caption of their own are named; every caption labels its control or value, and a
// value keeps its own text as its name, so that both are heard (on Linux a list's spoken name is
// its text too, its label comes through the relation).
void IRIG::DescribeForScreenReaders() {
    const std::pair<QWidget*, const char*> names[] = {{txtIrigOffset, "IRIG-B Offset"},
                                                      {txtGpsOffset, "GPS Offset"},
                                                      {cmbComPort, "Com Port"},
                                                      {txtFlashStatus, "Status log"},
                                                      {prbProgram, "Programming progress"},
                                                      {txtGpsMessage, "GPS Message"},
                                                      {statusBar(), "Status"}};
    for (const auto& [control, name] : names) {
        control->setAccessibleName(QLatin1String(name));
    }
    const std::pair<QLabel*, QWidget*> captions[] = {
        {lblIrigOffset, txtIrigOffset}, {lblGpsOffset, txtGpsOffset}, {lblComPort, cmbComPort},
        {lblDate, lblDateData},         {lblTime, lblTimeData},       {lblSource, lblSourceData},
        {lblVersion, lblVersionNumber}};
    for (const auto& [caption, control] : captions) {
        caption->setBuddy(control);
    }
    cmdRetreiveOffset->setAccessibleDescription(
        QStringLiteral("Reads the unit's IRIG-B and GPS offsets and its IEEE 1344 flag"));
    cmdRetreiveGpsMessage->setAccessibleDescription(QStringLiteral("Reads the unit's GPS message"));
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
        SendFrame(status::StatusRequest());
        CheckStale();
    }
}

bool IRIG::eventFilter(QObject* watched, QEvent* event) {
    if (watched == cmbComPort && event->type() == QEvent::FocusIn) {
        // The list's own pop-up closing, or the window being re-activated, is not an entry.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason) {
            cmbComPort_GotFocus();
        }
    }
    if (watched == cmbComPort && event->type() == QEvent::Wheel && !cmbComPort->hasFocus()) {
        return true;  // a stray notch over the list while working elsewhere picks no port
    }
    if (event->type() == QEvent::KeyPress) {
        // Enter presses the focused button, as on Windows.
        const int key = static_cast<QKeyEvent*>(event)->key();
        auto* button = qobject_cast<QPushButton*>(watched);
        if (button != nullptr && (key == Qt::Key_Return || key == Qt::Key_Enter)) {
            if (button->isEnabled()) {
                button->click();
            }
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void IRIG::cmbComPort_GotFocus() {
    hold_->SetEnabled(cmdSetTime, false);
    comIrig.ClosePort();
    portWatch_.Forget();
    SetPortStatus(QStringLiteral("closed while choosing a port"));
    ShowStale(true);
    static_cast<PortListModel*>(cmbComPort->model())->Refresh();
}

void IRIG::cmbComPort_Click() {
    const QString port = cmbComPort->currentText();
    txtFlashStatus->setText(QStringLiteral("Com port ") + port + QStringLiteral(" opened."));
    portWatch_.Forget();
    hold_->Release(ControlHold::kPortClosed);
    SetLinkButtons(true);
    const int error = comIrig.OpenPort(port);
    if (error != link::kPortOpened && error != kInvalidCall) {
        txtFlashStatus->setText(QStringLiteral("Error opening port ") + port);
        SetLinkButtons(false);
        SetPortStatus(link::FailureText(port, comIrig.LastFailure()));
        ShowStale(true);
    } else {
        portWatch_.Opened(port);
        ShowPortOpen(port);
        lastStatusMs_ = steady_();
    }
    // A Flash Mode request the unit never answered stopped the poll; a pick starts it again.
    if (!blnLoadAllowed && !tmrDateTime->isActive()) {
        tmrDateTime->start();
    }
    // Before the window is first shown this only records where the focus goes when it is.
    txtFlashStatus->setFocus();
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

// The buttons that talk to the unit stay disabled until the port is back; what the rest of the
// window writes to them meanwhile shows then.
void IRIG::comIrig_PortLost(const QString& reason) {
    const QString port = cmbComPort->currentText();
    Log(QStringLiteral("Error on port ") + port + QStringLiteral(" - port closed (") + reason +
        QLatin1Char(')'));
    hold_->Hold(ControlHold::kPortClosed,
                {cmdSetTime, cmdSetOffset, cmdRetreiveOffset, cmdRetreiveGpsMessage, cmdReBoot});
    if (blnSessionBusy) {
        exchange_.LineLost();
    }
    lostReason_ = reason;
    ShowPortLost(portWatch_.Waiting());
    ShowStale(true);
}

void IRIG::ShowPortLost(const QString& waiting) {
    SetPortStatus(QStringLiteral("%1 lost: %2; %3 (or pick a port)")
                      .arg(cmbComPort->currentText(), lostReason_, waiting));
}

void IRIG::PortReopened(const QString& port) {
    Log(QStringLiteral("Com port ") + port + QStringLiteral(" opened."));
    hold_->Release(ControlHold::kPortClosed);
    ShowPortOpen(port);
    lastStatusMs_ = steady_();
}

qint64 IRIG::UpdateRemainingMs() const {
    return exchange_.Progress().RemainingMs(steady_());
}

void IRIG::WatchTick() {
    const qint64 now = steady_();
    CheckStale();
    if (blnSessionBusy) {
        const exchange::UpdateProgress& update = exchange_.Progress();
        status_.session = update.SilenceMs(now) >= kSilenceMs
                              ? QStringLiteral(
                                    "No answer from the unit for %1 s: press Program "
                                    "to start again, or Exit")
                                    .arg(update.SilenceMs(now) / 1000)
                              : ProgressText(update.Confirmed(), update.Blocks(),
                                             update.ElapsedMs(now), update.RemainingMs(now));
        ShowStatus();
    }
    // Without the poll (Flash Mode asked or entered) the values still grey when they go stale.
    if (!blnSessionBusy && (tmrDateTime->isActive() || !lblTimeData->isEnabled())) {
        watch_->stop();
    }
}

void IRIG::CheckStale() {
    if (steady_() - lastStatusMs_ > kStaleMs) {
        ShowStale(true);
    }
}

// The port and its device at once; what the system says of the adapter a moment later, so that
// asking it (a walk through the system's device list) never delays the window.
void IRIG::ShowPortOpen(const QString& port) {
    const QString device = comIrig.Device();
    SetPortStatus(PortOpenText(port, device, {}));
    QTimer::singleShot(kDescribeAfterMs, this, [this, port, device] {
        const QString opened = PortOpenText(port, device, {});
        if (status_.port == opened) {
            SetPortStatus(PortOpenText(
                port, device, link::DeviceDescription(device, QSerialPortInfo::availablePorts())));
        }
    });
}

void IRIG::SetPortStatus(const QString& text) {
    status_.port = text;
    ShowStatus();
}

void IRIG::ShowStatus() {
    statusLine_->SetWholeText(status_.Text());
}

// Values that no reply has confirmed lately are greyed until the next one.
void IRIG::ShowStale(bool stale) {
    for (QLabel* value : {lblDateData, lblTimeData, lblSourceData, lblVersionNumber}) {
        value->setEnabled(!stale);
    }
}

void IRIG::ShowReply(const status::StatusView& view) {
    if (view.time) {
        lastStatusMs_ = steady_();
        ShowStale(false);
    }
    ShowText(lblSourceData, view.source);
    ShowText(lblTimeData, view.time);
    ShowText(lblDateData, view.date);
    ShowText(lblVersionNumber, view.version);
    ShowText(txtIrigOffset, view.irigOffset);
    ShowText(txtGpsOffset, view.gpsOffset);
    if (view.ieee1344) {
        chkIEEE1344->setCheckState(*view.ieee1344 ? Qt::Checked : Qt::Unchecked);
    }
    ShowText(txtGpsMessage, view.gpsMessage);
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
    if (tmrSetTime_->isActive()) {
        return;  // one frame for a second click during the wait
    }
    setTime_ = status::PlanSetTimeRequest(clock_());
    tmrSetTime_->start(std::chrono::round<std::chrono::milliseconds>(setTime_.plan.wait));
    status_.clock = status::HostClockText(status::ReadKernelClock()) +
                    QStringLiteral("  ·  setting the unit to ") +
                    setTime_.plan.second.toString(QStringLiteral("HH:mm:ss"));
    ShowStatus();
}

void IRIG::cmdSetOffset_Click() {
    SendFrame(status::SetOffsetsRequest(txtIrigOffset->text(), txtGpsOffset->text(),
                                        chkIEEE1344->checkState() == Qt::Checked));
}

void IRIG::cmdRetreiveOffset_Click() {
    SendFrame(status::RetrieveOffsetsRequest());
}

void IRIG::cmdRetreiveGpsMessage_Click() {
    SendFrame(status::RetrieveGpsMessageRequest());
}

void IRIG::cmdFlashMode_Click() {
    Log(QStringLiteral("Flash Mode Command Sent"));
    tmrDateTime->stop();
    watch_->start();  // the values' staleness, without the poll
    SendFrame(link::SingleCode(link::code::kFlashMode));
}

void IRIG::cmdReBoot_Click() {
    Log(QStringLiteral("Re-Boot Command Sent"));
    SendFrame(link::SingleCode(link::code::kReBoot));
}

// A running session ends first: no block may follow the re-boot.
void IRIG::cmdFlashExit_Click() {
    if (blnSessionBusy) {
        exchange_.Abandon();
        status_.session = QStringLiteral("Update left by Exit before it was complete");
        ShowStatus();
    }
    Log(QStringLiteral("Exiting Flash Program Mode"));
    Log(QStringLiteral("Re-Boot Command Sent"));
    SendFrame(link::SingleCode(link::code::kReBoot));
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
    status_.session = ProgressText(0, flash::BlocksToSend(exchange_.Image()), 0, -1);
    ShowStatus();
    watch_->start();
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
        blnSessionBusy = false;
        hold_->Release(ControlHold::kSession);
        ApplyFlashButtons();
        ShowVerdict(step.end);
    }
}

void IRIG::ShowVerdict(flash::FlashSession::End end) {
    switch (end) {
        case flash::FlashSession::End::kCompleted:
            status_.session =
                QStringLiteral("Update done in %1")
                    .arg(flash::MinutesSeconds(exchange_.Progress().ElapsedMs(steady_())));
            break;
        case flash::FlashSession::End::kEraseFailed:
            status_.session =
                QStringLiteral("Update failed: the erase failed; press Program to start again");
            break;
        case flash::FlashSession::End::kLineLost:
            status_.session = QStringLiteral(
                "Update failed: the line went away; pick the port again, then press Program");
            break;
        case flash::FlashSession::End::kNone:
            return;
    }
    ShowStatus();
}

void IRIG::cmdLoad_Click() {
    const QString path = ChooseFlashFile();
    if (!path.isEmpty()) {
        LoadFlashFile(path);
    }
}

QString IRIG::ChooseFlashFile() {
    if (chooseFlashFile_) {
        return chooseFlashFile_();
    }
    QFileDialog cdlFlashOpenSave(this);
    cdlFlashOpenSave.setObjectName(QStringLiteral("cdlFlashOpenSave"));
    cdlFlashOpenSave.setAcceptMode(QFileDialog::AcceptOpen);
    cdlFlashOpenSave.setFileMode(QFileDialog::ExistingFile);
    cdlFlashOpenSave.setNameFilter(QStringLiteral("Flash Files (*.hex)"));
    if (cdlFlashOpenSave.exec() != QDialog::Accepted ||
        cdlFlashOpenSave.selectedFiles().isEmpty()) {
        return {};
    }
    return cdlFlashOpenSave.selectedFiles().constFirst();
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
    if (blnClosing) {  // the window was closed: the half-built image is never programmed
        blnLoading = false;
        blnProgramAllowed = false;
        ApplyFlashButtons();
        return;
    }
    load.Finish();
    file.close();
    if (!load.ReadFailed()) {
        txtFlashStatus->showLatest();
        load.ShowProgramId();
    }
    blnLoading = false;
    // A load that outlived flash mode (Exit during the load) leaves Program disabled.
    blnProgramAllowed = load.Programmable() && blnLoadAllowed;
    ApplyFlashButtons();
}

void IRIG::ApplyFlashButtons() {
    cmdLoad->setEnabled(blnLoadAllowed && !blnLoading && !blnSessionBusy);
    cmdProgram->setEnabled(blnProgramAllowed && !blnLoading);
}

QMenu* IRIG::LogMenu() {
    QMenu* menu = txtFlashStatus->createStandardContextMenu();
    menu->addSeparator();
    QAction* save = menu->addAction(QStringLiteral("Save Log As…"));
    save->setObjectName(QStringLiteral("actSaveLogAs"));
    connect(save, &QAction::triggered, this, &IRIG::SaveLogAs);
    return menu;
}

// The log as it reads, in UTF-8 with this platform's line ends.
void IRIG::SaveLogAs() {
    const QString path = chooseLogFile_ ? chooseLogFile_()
                                        : QFileDialog::getSaveFileName(
                                              this, QStringLiteral("Save Log As"), QString(),
                                              QStringLiteral("Text files (*.txt);;All files (*)"));
    if (path.isEmpty()) {
        return;
    }
    QString text = txtFlashStatus->text();
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
#ifdef Q_OS_WIN
    text.replace(QLatin1String("\n"), QLatin1String("\r\n"));
#endif
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit()) {
        status_.session = QStringLiteral("The log was not saved: %1").arg(file.errorString());
        ShowStatus();
    }
}

void IRIG::closeEvent(QCloseEvent* event) {
    blnClosing = true;  // ends a load that is running
    QMainWindow::closeEvent(event);
}

void IRIG::SendFrame(const QByteArray& frame) {
    exchange_.SendFrame(frame);
}

float IRIG::ProgressValue() const {
    return prbProgram->Exact();
}

void IRIG::Log(const QString& message) {
    txtFlashStatus->appendText(message + QLatin1String("\r\n"));
}

}  // namespace irig::shell
