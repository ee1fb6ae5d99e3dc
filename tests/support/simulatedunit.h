// Runs irig-unit-sim as a child process on a fresh pseudo-terminal behind a port map entry, for
// end-to-end tests and benchmarks, and reads back what it programmed.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>

namespace irig::test {

class SimulatedUnit {
public:
    // `link` is the port map entry to create; `flashOut` the file the unit keeps its flash in.
    // The unit logs every request unless `quiet` (its log wakes this process once per line).
    SimulatedUnit(const QString& link, const QString& flashOut, const QStringList& options,
                  bool quiet = false);
    ~SimulatedUnit();
    SimulatedUnit(const SimulatedUnit&) = delete;
    SimulatedUnit& operator=(const SimulatedUnit&) = delete;

    // Waits until the unit has opened its line `times` times in all (a hung-up line reopens).
    bool WaitReady(int times = 1, int timeoutMs = 10000);
    // The unit's flash, 0x00000-0x2007F.
    QByteArray Flash() const;
    // What the unit wrote to standard error (its --verbose log).
    QString Errors();
    // Ends the unit as Ctrl-C would and waits for it, so that Errors() holds all it said.
    void Stop();

private:
    QProcess process_;
    QString flashOut_;
    QByteArray output_;
    QByteArray errors_;
};

// Many units from one irig-unit-sim process, each on a pseudo-terminal linked as DIR/unitN, or,
// with an empty DIR, on raw TCP ports of 127.0.0.1 (a range found free as it starts).
class SimulatedUnits {
public:
    SimulatedUnits(const QString& dir, int count, const QStringList& options);
    // On the ports from `firstPort` on (0: a range found free); WaitReady is false when one of
    // them is taken.
    SimulatedUnits(quint16 firstPort, int count, const QStringList& options);
    ~SimulatedUnits();
    SimulatedUnits(const SimulatedUnits&) = delete;
    SimulatedUnits& operator=(const SimulatedUnits&) = delete;

    bool WaitReady(int timeoutMs = 10000);
    // How unit `number`, from 1, is reached: its link, or socket://127.0.0.1:PORT.
    QString Link(int number) const;
    QString Errors();
    qint64 Pid() const { return process_.processId(); }

private:
    void Listen();  // to what the simulator says
    void Start();

    QProcess process_;
    QString dir_;
    int count_;
    QStringList options_;
    quint16 firstPort_ = 0;  // on TCP
    bool anyPort_ = false;   // a range found free as it starts
    QByteArray output_;
    QByteArray errors_;
};

}  // namespace irig::test
