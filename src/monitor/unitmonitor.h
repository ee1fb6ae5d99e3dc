// One unit watched by irigctl monitor: its port opened (and awaited back when it goes away or was
// not there to begin with), a clock request every few seconds, and its clock measured against this
// computer's every minute, or when asked (at most one such measurement every 10 s, the requests
// between merged into it). The status poll goes on between measurements, and a measurement's
// replies keep the reading current. What it knows is a reading; what it has to say (a lost port, a
// unit that stops answering and starts again) is a line for the log.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <memory>

#include "link/portcontroller.h"
#include "monitor/metrics.h"
#include "monitor/turns.h"
#include "unit/session.h"

namespace irig::monitor {

struct Schedule {
    int statusMs = 5'000;
    int measureMs = 60'000;
    int requestedEveryMs = 10'000;  // measurements asked for over HTTP, at most one this often
    int offsetsMs = 300'000;        // the offsets, read for an inventory's settings
    int retryCapMs = 30'000;        // the longest wait between two tries on a terminal server
};

class UnitMonitor final : public QObject {
    Q_OBJECT

public:
    // `fromInventory`, if the unit comes from one: its name, labels and settings.
    UnitMonitor(const QString& port, std::unique_ptr<link::PortController> serial,
                unit::Timeouts timeouts, Schedule schedule,
                const fleet::InventoryUnit* fromInventory = nullptr, QObject* parent = nullptr);
    ~UnitMonitor() override;

    // The turns its measurements wait for, shared with the other units of its loop (none: it
    // measures whenever one is due). They must outlive it.
    void ShareTurns(Turns* turns) { turns_ = turns; }

    // What is known of a unit before it has said anything: its port, and its name, labels and
    // settings from an inventory.
    static UnitReading FirstReading(const QString& port, const fleet::InventoryUnit* fromInventory);

    void Start();
    // The unit's entry in the inventory has new labels or settings (its port is the same): the
    // reading carries them from now on, and the offsets are read when they are now to be compared.
    void Adopt(const fleet::InventoryUnit& unit);
    // Measures the unit's clock as soon as the request in flight, if any, has ended.
    void MeasureNow();
    // A measurement asked for from outside: now, or once the last one is far enough back.
    void MeasureOnRequest();
    // Lends the unit to another tool: the request in flight ends, the port closes, and then
    // `closed` gets true (false: it was taken back first, or the monitor went away). Until it is
    // taken back nothing is asked and nothing measured; the reading says it is lent.
    void Lend(std::function<void(bool closed)> closed);
    // Takes a lent unit back: its port opens again and it is read at once, clock, version and
    // offsets, as a unit just found.
    void TakeBack();
    const UnitReading& Reading() const { return reading_; }

signals:
    void Changed(const irig::monitor::UnitReading& reading);
    void Said(const QString& line);

private:
    void Opened();
    void Poll();
    void Heard(const unit::Session::ClockAnswer& answer);
    void Measured(const unit::Result<status::ClockOffset>& offset);
    // What the last offset means, with the drift and the offsets as last read.
    void Diagnose();
    void NotHeard(const unit::Failure& failure);
    void SetUp(bool up, const QString& why = {});
    void Idle();
    bool TakeTurn();
    void EndTurn();
    void Lent();

    unit::Session session_;
    Schedule schedule_;
    QTimer statusTimer_;
    QTimer measureTimer_;  // from the start of one measurement to the next
    QTimer requested_;     // a requested measurement, waiting for its turn
    QTimer offsetsTimer_;
    QElapsedTimer lastMeasured_;  // since the last measurement started
    UnitReading reading_;
    diagnosis::DriftTracker drift_;
    bool busy_ = false;  // a request or a measurement is in flight
    bool statusDue_ = false;
    bool measureDue_ = false;
    bool offsetsDue_ = false;
    bool measureAfterAnswer_ = false;  // the port has just opened
    bool saidUp_ = false;              // the last transition said: answering or not
    bool saidAnything_ = false;
    Turns* turns_ = nullptr;
    std::function<void(bool)> lending_;  // while the port closes for a loan
    bool lent_ = false;                  // lent, or being lent
    enum class Turn { kNone, kWaiting, kHeld } turn_ = Turn::kNone;
};

}  // namespace irig::monitor
