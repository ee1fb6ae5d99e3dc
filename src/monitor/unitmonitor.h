// One unit watched by irigctl monitor: its port opened (and awaited back when it goes away or was
// not there to begin with), a clock request every few seconds, and its clock measured against this
// computer's every minute or when asked. What it knows is a reading; what it has to say (a lost
// port, a unit that stops answering and starts again) is a line for the log.
#pragma once

#include <QObject>
#include <QTimer>
#include <memory>

#include "cli/commandline.h"
#include "cli/unit.h"
#include "link/portcontroller.h"
#include "link/portwatch.h"
#include "monitor/metrics.h"

namespace irig::monitor {

struct Schedule {
    int statusMs = 5'000;
    int measureMs = 60'000;
};

class UnitMonitor final : public QObject {
    Q_OBJECT

public:
    // `request` (for its time-outs) must outlive the monitor.
    UnitMonitor(const QString& port, std::unique_ptr<link::PortController> serial,
                const cli::Request& request, Schedule schedule, QObject* parent = nullptr);

    void Start();
    // Measures the unit's clock as soon as the request in flight, if any, has ended.
    void MeasureNow();
    const UnitReading& Reading() const { return reading_; }

signals:
    void Changed(const irig::monitor::UnitReading& reading);
    void Said(const QString& line);

private:
    void Opened();
    void Poll();
    void Heard(const QByteArray& payload);
    void Measured(const std::optional<status::ClockOffset>& offset, const QString& failure);
    void NotHeard();
    void SetUp(bool up, const QString& why = {});
    void Idle();

    std::unique_ptr<link::PortController> serial_;
    cli::Unit unit_;
    link::PortWatch watch_;
    const cli::Request& request_;
    QTimer statusTimer_;
    QTimer measureTimer_;
    UnitReading reading_;
    bool open_ = false;
    bool busy_ = false;  // a request or a measurement is in flight
    bool measureDue_ = false;
    bool measureAfterAnswer_ = false;  // the port has just opened
    bool saidUp_ = false;              // the last transition said: answering or not
    bool saidAnything_ = false;
};

}  // namespace irig::monitor
