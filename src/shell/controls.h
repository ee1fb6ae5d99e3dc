// The window's controls as the written window has them: names, kinds, captions, places in twips,
// grouping, tab order and states at start; grown as one to show every text whole in the desktop's
// font, and named for screen readers. Building them is all this does: what they do is the
// window's wiring (irig.cpp).
#pragma once

#include <QString>
#include <array>

#include "status/replies.h"

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMainWindow;
class QPushButton;
class QTimer;
class QWidget;

namespace irig::shell {

class ProgressBar;
class StatusLabel;
class TextBox;

struct Controls {
    QGroupBox* fraDateTime = nullptr;
    QGroupBox* fraTimeOffset = nullptr;
    QGroupBox* fraFlash = nullptr;
    QGroupBox* fraGpsMessage = nullptr;
    QLabel* lblDate = nullptr;
    QLabel* lblTime = nullptr;
    QLabel* lblSource = nullptr;
    QLabel* lblDateData = nullptr;
    QLabel* lblTimeData = nullptr;
    QLabel* lblSourceData = nullptr;
    QPushButton* cmdSetTime = nullptr;
    QLabel* lblIrigOffset = nullptr;
    QLabel* lblGpsOffset = nullptr;
    QLineEdit* txtIrigOffset = nullptr;
    QLineEdit* txtGpsOffset = nullptr;
    QPushButton* cmdSetOffset = nullptr;
    QPushButton* cmdRetreiveOffset = nullptr;
    QCheckBox* chkIEEE1344 = nullptr;
    QPushButton* cmdReBoot = nullptr;
    QPushButton* cmdFlashMode = nullptr;
    QPushButton* cmdLoad = nullptr;
    QPushButton* cmdProgram = nullptr;
    QPushButton* cmdFlashExit = nullptr;
    QLabel* lblVersion = nullptr;
    QLabel* lblVersionNumber = nullptr;
    QLabel* lblComPort = nullptr;
    QComboBox* cmbComPort = nullptr;
    TextBox* txtFlashStatus = nullptr;
    ProgressBar* prbProgram = nullptr;
    QPushButton* cmdRetreiveGpsMessage = nullptr;
    TextBox* txtGpsMessage = nullptr;
    std::array<QAction*, 8> mnuCom{};
    StatusLabel* statusLine = nullptr;  // under the frames: the port, an update, the host clock
    QTimer* tmrDateTime = nullptr;      // the 500 ms status poll, running from the start
    QTimer* tmrWatch = nullptr;         // an update's time left, silences, stale values: 500 ms
    QTimer* tmrSetTime = nullptr;       // Set Time's wait for its second, precise, single shot
};

// Builds every control of `window`: its caption and icon, the menu, the client area with its
// frames and controls, and the status line.
void BuildControls(QMainWindow& window, Controls& controls);

// A reply's texts in the controls it changes; a field it does not carry leaves its control as it
// is.
void ShowReply(const Controls& controls, const status::StatusView& view);

// The file dialog cdlFlashOpenSave, filtered to "Flash Files (*.hex)": the file chosen, or empty.
QString ChooseFlashFile(QWidget* parent);

}  // namespace irig::shell
