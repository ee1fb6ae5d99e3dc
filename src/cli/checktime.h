// irigctl check-time: one unit's clock against this computer's, measured from clock replies alone.
// It polls back to back until the unit's second changes, then places each request so that the
// unit reads its clock on the boundary as it is known so far, until the bounds are as narrow as the
// line allows. The monitor measures its units the same way.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <optional>

#include "cli/commands.h"
#include "status/clockcheck.h"

namespace irig::cli {

class TimeCheck final : public QObject {
    Q_OBJECT

public:
    explicit TimeCheck(Unit& unit, const Request& request, QObject* parent = nullptr);

    void Start();

signals:
    // The offset; nothing when the unit did not answer (Unit::Failure says why) or read a date
    // that cannot be (`failure` says so).
    void Finished(std::optional<irig::status::ClockOffset> offset, const QString& failure);

private:
    void Ask();
    void Answered(const QByteArray& payload);
    bool Done() const;

    Unit& unit_;
    const Request& request_;
    status::ClockCheck check_;
    status::HostMicros sent_ = 0;
    qint64 sentSteady_ = 0;
    std::optional<status::HostMicros> planned_;  // the moment the next request is meant to go
    std::chrono::steady_clock::time_point started_;
    QTimer next_;
};

// "COM1: the unit is 137 ms ahead (±5 ms); host clock synchronised (±2 ms)", its JSON, and exit 1
// beyond --max-offset.
void CheckTime(Unit& unit, const Request& request, const Done& done);

}  // namespace irig::cli
