// What the window records of the changes it makes to its unit, in the system log as irig-config
// (the offsets and flag it sends, the clock it sets, an update started, done, failed or left), and
// what the unit answers after Exit: "Unit answers version 2.4" or "No answer from the unit 10 s
// after the re-boot", a line for the status log. The window says when; this says what.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <optional>

#include "flash/session.h"
#include "link/portcontroller.h"
#include "status/replies.h"
#include "unit/changerecord.h"

namespace irig::shell {

class UnitRecord final : public QObject {
public:
    // The unit is named by the port picked and the device it opened ("COM1 (/dev/ttyUSB0)");
    // `log` appends to the status log. `port` must outlive the record.
    UnitRecord(std::function<QString()> portName, const link::PortController& port,
               std::function<void(const QString&)> log, QObject* parent = nullptr);

    void SetSink(unit::ChangeRecord::Sink sink) { record_ = unit::ChangeRecord(std::move(sink)); }

    // A frame from the unit: an offsets reply's are the unit's offsets, and after Exit a clock
    // reply's version is the answer.
    void Heard(int16_t code, const QByteArray& payload);
    void OffsetsSent(QStringView irig, QStringView gps, bool ieee1344);
    void ClockSent(const QString& second);
    void Loaded(const QString& file) { file_ = file; }
    void UpdateStarted(int blocks);
    void UpdateEnded(flash::FlashSession::End end);
    void UpdateLeft();
    // The re-boot that leaves flash mode went out: the unit's version is awaited for 10 s.
    void Exited();

private:
    QString Named() const;

    std::function<QString()> portName_;
    const link::PortController& port_;
    std::function<void(const QString&)> log_;
    unit::ChangeRecord record_{unit::ChangeRecord::SystemLog("irig-config")};
    std::optional<unit::Offsets> offsets_;  // as last read back
    QString file_;
    QTimer versionWait_;
};

}  // namespace irig::shell
