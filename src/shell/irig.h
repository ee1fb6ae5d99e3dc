// The window "IRIG-B Configuration": owns the controls, the serial component's events and the
// window-level state, and wires each control event to the subsystem that decides what happens.
#pragma once

#include <QDateTime>
#include <QMainWindow>
#include <array>
#include <cstdint>
#include <functional>

#include "link/framecodec.h"
#include "link/portcontroller.h"

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace irig::shell {

class TextBox;

class IRIG final : public QMainWindow, private link::FrameReceiver::Sink {
    Q_OBJECT

public:
    using Clock = std::function<QDateTime()>;

    // comIrig must outlive the window.
    explicit IRIG(link::PortController& comIrig, QWidget* parent = nullptr);
    ~IRIG() override;

    // Event handlers, public so that tests can raise the events the platform would.
    void tmrDateTime_Timer();
    void cmbComPort_GotFocus();
    void cmbComPort_Click();
    void mnuCom_Click(int index);  // the entries Com&1 to Com&8, index 0 to 7
    void comIrig_DataReceived();
    void cmdSetTime_Click();
    void cmdSetOffset_Click();
    void cmdRetreiveOffset_Click();
    void cmdRetreiveGpsMessage_Click();

    // The host's local clock, read once per Set Time; tests pin it.
    void SetClock(Clock clock) { clock_ = std::move(clock); }

    const link::FrameReceiver& Receiver() const { return rx; }
    int16_t FlashState() const { return intFlashState; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void EndCode(int16_t code) override;
    void SingleCode(int16_t code) override;

    void Form_Load();
    void BuildControls();
    void SetLinkButtons(bool enabled);
    void SendFrame(const QByteArray& frame);
    void Log(const QString& message);

    link::PortController& comIrig;
    QTimer* tmrDateTime = nullptr;
    Clock clock_ = &QDateTime::currentDateTime;

    link::FrameReceiver rx;  // strRxData, intRxCode and blnRxEscape
    int16_t intFlashState = 0;

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
    QProgressBar* prbProgram = nullptr;
    QPushButton* cmdRetreiveGpsMessage = nullptr;
    TextBox* txtGpsMessage = nullptr;
    std::array<QAction*, 8> mnuCom{};
};

}  // namespace irig::shell
