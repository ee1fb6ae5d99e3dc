#include "shell/controls.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>

#include "shell/fontfit.h"
#include "shell/portlistmodel.h"
#include "shell/progressbar.h"
#include "shell/statuslabel.h"
#include "shell/textbox.h"
#include "status/replies.h"

// The window's pictures are compiled into this static library, which a linker may leave out unless
// something names them: registered before the window takes its icon.
static void RegisterShellResources() {
    Q_INIT_RESOURCE(shell);
}

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

// Every caption and value shows whole in the desktop's font: the written arrangement grows as one,
// by as much as its most crowded text needs.
void FitToFont(Controls& c, QWidget* client) {
    QList<TextRoom> rooms;
    for (QLabel* caption : {c.lblDate, c.lblTime, c.lblSource, c.lblIrigOffset, c.lblGpsOffset,
                            c.lblVersion, c.lblComPort}) {
        rooms.append(TextRoom{caption, caption->text()});
    }
    // The widest values the unit can make them show.
    const QString widestDate = QStringLiteral("00/00/0000");
    const QString widestTime = QStringLiteral("00:00:00");
    const QString widestSource = QStringLiteral("Internal Crystal");
    const QString widestOffset = QStringLiteral("-128");
    rooms.append(TextRoom{c.lblDateData, widestDate});
    rooms.append(TextRoom{c.lblTimeData, widestTime});
    rooms.append(TextRoom{c.lblSourceData, widestSource});
    rooms.append(TextRoom{c.lblVersionNumber, status::VersionText(255)});
    rooms.append(TextRoom{c.txtIrigOffset, widestOffset});
    rooms.append(TextRoom{c.txtGpsOffset, widestOffset});
    rooms.append(TextRoom{c.chkIEEE1344, {}});
    rooms.append(TextRoom{c.cmbComPort, QStringLiteral("COM4096")});
    for (QWidget* frame : {c.fraDateTime, c.fraTimeOffset, c.fraFlash, c.fraGpsMessage}) {
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
    for (QLabel* value : {c.lblDateData, c.lblTimeData, c.lblSourceData, c.lblVersionNumber}) {
        value->setFixedSize(value->size());
    }
    // The open list shows "COM4096" whole, in bold for a port that exists.
    QFont bold = c.cmbComPort->font();
    bold.setBold(true);
    c.cmbComPort->view()->setMinimumWidth(
        QFontMetrics(bold).horizontalAdvance(QStringLiteral("COM4096")) +
        c.cmbComPort->view()->verticalScrollBar()->sizeHint().width() +
        4 * c.cmbComPort->view()->frameWidth() + 16);
}

// Boxes without a caption of their own are named; every caption labels its control or value, and a
// value keeps its own text as its name, so that both are heard (on Linux a list's spoken name is
// its text too, its label comes through the relation).
void DescribeForScreenReaders(QMainWindow& window, Controls& c) {
    const std::pair<QWidget*, const char*> names[] = {{c.txtIrigOffset, "IRIG-B Offset"},
                                                      {c.txtGpsOffset, "GPS Offset"},
                                                      {c.cmbComPort, "Com Port"},
                                                      {c.txtFlashStatus, "Status log"},
                                                      {c.prbProgram, "Programming progress"},
                                                      {c.txtGpsMessage, "GPS Message"},
                                                      {window.statusBar(), "Status"}};
    for (const auto& [control, name] : names) {
        control->setAccessibleName(QLatin1String(name));
    }
    const std::pair<QLabel*, QWidget*> captions[] = {
        {c.lblIrigOffset, c.txtIrigOffset}, {c.lblGpsOffset, c.txtGpsOffset},
        {c.lblComPort, c.cmbComPort},       {c.lblDate, c.lblDateData},
        {c.lblTime, c.lblTimeData},         {c.lblSource, c.lblSourceData},
        {c.lblVersion, c.lblVersionNumber}};
    for (const auto& [caption, control] : captions) {
        caption->setBuddy(control);
    }
    c.cmdRetreiveOffset->setAccessibleDescription(
        QStringLiteral("Reads the unit's IRIG-B and GPS offsets and its IEEE 1344 flag"));
    c.cmdRetreiveGpsMessage->setAccessibleDescription(
        QStringLiteral("Reads the unit's GPS message"));
}

// Enter (and keypad Enter) presses the focused button, as on Windows.
class EnterPressesButtons final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* button = qobject_cast<QPushButton*>(watched);
        if (button == nullptr || event->type() != QEvent::KeyPress) {
            return false;
        }
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key != Qt::Key_Return && key != Qt::Key_Enter) {
            return false;
        }
        if (button->isEnabled()) {
            button->click();
        }
        return true;
    }
};

// The port list: the widest entry known without measuring them all, the wheel taken only once
// it is entered, and a view that does not size every row.
void SetUpPortList(QComboBox& list) {
    // Sizing the list to its widest entry would measure all 4096 of them; "COM4096" is the widest.
    list.setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    list.setMinimumContentsLength(7);
    // The wheel may change the list only once the operator has entered it (the window's filter).
    list.setFocusPolicy(Qt::StrongFocus);
    list.setModel(new PortListModel(&list));
    auto* portView = new QListView(&list);
    portView->setUniformItemSizes(true);
    list.setView(portView);
}

void SetTabOrder(const Controls& c) {
    QWidget* const tabOrder[] = {c.cmdLoad,
                                 c.cmdProgram,
                                 c.txtFlashStatus,
                                 c.cmdFlashMode,
                                 c.cmdSetTime,
                                 c.cmdFlashExit,
                                 c.txtIrigOffset,
                                 c.txtGpsOffset,
                                 c.cmdSetOffset,
                                 c.cmdRetreiveOffset,
                                 c.chkIEEE1344,
                                 c.cmdReBoot,
                                 c.cmdRetreiveGpsMessage,
                                 c.txtGpsMessage,
                                 c.cmbComPort};
    for (size_t i = 1; i < std::size(tabOrder); ++i) {
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }
}

void MakeTimers(QMainWindow& window, Controls& c) {
    const auto timer = [&window](const char* name, int intervalMs) {
        auto* made = new QTimer(&window);
        made->setObjectName(QLatin1String(name));
        made->setInterval(intervalMs);
        return made;
    };
    c.tmrDateTime = timer("tmrDateTime", 500);
    c.tmrWatch = timer("tmrWatch", 500);
    c.tmrSetTime = timer("tmrSetTime", 0);
    c.tmrSetTime->setSingleShot(true);
    c.tmrSetTime->setTimerType(Qt::PreciseTimer);
}

}  // namespace

void BuildControls(QMainWindow& window, Controls& c) {
    window.setObjectName(QStringLiteral("IRIG"));
    window.setWindowTitle(QStringLiteral("IRIG-B Configuration"));
    RegisterShellResources();
    window.setWindowIcon(QIcon(QStringLiteral(":/irig-config.png")));

    QMenu* mnuComm = window.menuBar()->addMenu(QStringLiteral("&Communications"));
    mnuComm->setObjectName(QStringLiteral("mnuComm"));
    for (int i = 0; i < static_cast<int>(c.mnuCom.size()); ++i) {
        QAction* entry = mnuComm->addAction(QStringLiteral("Com&%1").arg(i + 1));
        entry->setObjectName(QStringLiteral("mnuCom%1").arg(i + 1));
        entry->setCheckable(true);
        entry->setChecked(i == 0);
        c.mnuCom[i] = entry;
    }

    auto* client = new QWidget(&window);
    client->setFixedSize(Twips(0, 0, 9645, 5295).size());
    window.setCentralWidget(client);

    c.fraDateTime = MakeFrame(client, "fraDateTime", Twips(240, 360, 3132, 1812), "Date && Time");
    c.lblDate = MakeLabel(c.fraDateTime, "lblDate", Twips(120, 360, 492, 252), "Date");
    c.lblTime = MakeLabel(c.fraDateTime, "lblTime", Twips(120, 720, 492, 252), "Time");
    c.lblSource = MakeLabel(c.fraDateTime, "lblSource", Twips(120, 1080, 612, 252), "Source");
    c.lblDateData = MakeValue(c.fraDateTime, "lblDateData", Twips(960, 360, 1332, 252));
    c.lblTimeData = MakeValue(c.fraDateTime, "lblTimeData", Twips(960, 720, 1332, 252));
    c.lblSourceData = MakeValue(c.fraDateTime, "lblSourceData", Twips(960, 1080, 1332, 252));
    c.cmdSetTime =
        MakeButton(c.fraDateTime, "cmdSetTime", Twips(1080, 1440, 1092, 252), "Set Time");

    c.fraTimeOffset =
        MakeFrame(client, "fraTimeOffset", Twips(240, 2400, 3132, 1575), "Time Offset");
    c.lblIrigOffset =
        MakeLabel(c.fraTimeOffset, "lblIrigOffset", Twips(120, 360, 1092, 252), "IRIG-B Offset");
    c.lblGpsOffset =
        MakeLabel(c.fraTimeOffset, "lblGpsOffset", Twips(120, 720, 1092, 252), "GPS Offset");
    c.txtIrigOffset =
        Place<QLineEdit>(c.fraTimeOffset, "txtIrigOffset", Twips(1440, 360, 492, 288));
    c.txtGpsOffset = Place<QLineEdit>(c.fraTimeOffset, "txtGpsOffset", Twips(1440, 720, 492, 288));
    c.cmdSetOffset = MakeButton(c.fraTimeOffset, "cmdSetOffset", Twips(2160, 360, 852, 252), "Set");
    c.cmdRetreiveOffset =
        MakeButton(c.fraTimeOffset, "cmdRetreiveOffset", Twips(2160, 720, 852, 252), "Retreive");
    c.chkIEEE1344 = Place<QCheckBox>(c.fraTimeOffset, "chkIEEE1344", Twips(120, 1080, 1095, 255));
    c.chkIEEE1344->setText(QStringLiteral("IEEE 1344"));

    c.fraFlash = MakeFrame(client, "fraFlash", Twips(3720, 480, 5655, 3615), "Flash Memory");
    c.cmdReBoot = MakeButton(c.fraFlash, "cmdReBoot", Twips(120, 480, 1095, 255), "Re-Boot");
    c.cmdFlashMode =
        MakeButton(c.fraFlash, "cmdFlashMode", Twips(120, 840, 1092, 252), "Flash Mode");
    c.cmdLoad = MakeButton(c.fraFlash, "cmdLoad", Twips(120, 1200, 1092, 252), "Load");
    c.cmdProgram = MakeButton(c.fraFlash, "cmdProgram", Twips(120, 1560, 1092, 252), "Program");
    c.cmdFlashExit = MakeButton(c.fraFlash, "cmdFlashExit", Twips(120, 1920, 1092, 252), "Exit");
    c.lblVersion = MakeLabel(c.fraFlash, "lblVersion", Twips(120, 2400, 615, 255), "Version");
    c.lblVersionNumber = MakeValue(c.fraFlash, "lblVersionNumber", Twips(720, 2400, 495, 255));
    c.lblComPort = MakeLabel(c.fraFlash, "lblComPort", Twips(120, 2760, 735, 255), "Com Port");
    c.cmbComPort = Place<QComboBox>(c.fraFlash, "cmbComPort", Twips(120, 3000, 1095, 315));
    c.txtFlashStatus = Place<TextBox>(c.fraFlash, "txtFlashStatus", Twips(1440, 360, 3975, 2535));
    c.prbProgram = Place<ProgressBar>(c.fraFlash, "prbProgram", Twips(1440, 3120, 3975, 255));
    c.prbProgram->hide();
    for (QPushButton* flashButton : {c.cmdFlashMode, c.cmdLoad, c.cmdProgram, c.cmdFlashExit}) {
        flashButton->setEnabled(false);
    }

    c.fraGpsMessage =
        MakeFrame(client, "fraGpsMessage", Twips(240, 4200, 9135, 855), "GPS Message");
    c.cmdRetreiveGpsMessage =
        MakeButton(c.fraGpsMessage, "cmdRetreiveGpsMessage", Twips(240, 360, 855, 315), "Retreive");
    c.txtGpsMessage = Place<TextBox>(c.fraGpsMessage, "txtGpsMessage", Twips(1320, 360, 7575, 375));

    c.statusLine = new StatusLabel(&window);
    c.statusLine->setObjectName(QStringLiteral("statusLine"));
    window.statusBar()->addWidget(c.statusLine, 1);
    window.statusBar()->setSizeGripEnabled(false);

    SetUpPortList(*c.cmbComPort);

    SetTabOrder(c);

    auto* enter = new EnterPressesButtons(&window);
    for (QPushButton* button : client->findChildren<QPushButton*>()) {
        button->installEventFilter(enter);
    }

    FitToFont(c, client);
    DescribeForScreenReaders(window, c);

    MakeTimers(window, c);
}

QString ChooseFlashFile(QWidget* parent) {
    QFileDialog cdlFlashOpenSave(parent);
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

namespace {

template <typename Widget>
void ShowText(Widget* control, const std::optional<QString>& text) {
    if (text) {
        control->setText(*text);
    }
}

}  // namespace

void ShowReply(const Controls& c, const status::StatusView& view) {
    ShowText(c.lblSourceData, view.source);
    ShowText(c.lblTimeData, view.time);
    ShowText(c.lblDateData, view.date);
    ShowText(c.lblVersionNumber, view.version);
    ShowText(c.txtIrigOffset, view.irigOffset);
    ShowText(c.txtGpsOffset, view.gpsOffset);
    if (view.ieee1344) {
        c.chkIEEE1344->setCheckState(*view.ieee1344 ? Qt::Checked : Qt::Unchecked);
    }
    ShowText(c.txtGpsMessage, view.gpsMessage);
}

}  // namespace irig::shell
