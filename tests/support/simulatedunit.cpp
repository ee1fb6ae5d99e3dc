#include "support/simulatedunit.h"

#include <QFile>
#include <QRandomGenerator>
#include <algorithm>

#include "support/wait.h"

#ifndef IRIG_UNIT_SIM_PATH
#error "IRIG_UNIT_SIM_PATH must name the irig-unit-sim program"
#endif

namespace irig::test {

SimulatedUnit::SimulatedUnit(const QString& link, const QString& flashOut,
                             const QStringList& options, bool quiet)
    : flashOut_(flashOut) {
    QObject::connect(&process_, &QProcess::readyReadStandardOutput,
                     [this] { output_ += process_.readAllStandardOutput(); });
    QObject::connect(&process_, &QProcess::readyReadStandardError,
                     [this] { errors_ += process_.readAllStandardError(); });
    QStringList arguments{QStringLiteral("--link"), link, QStringLiteral("--flash-out"), flashOut};
    if (!quiet) {
        arguments.append(QStringLiteral("--verbose"));
    }
    process_.start(QStringLiteral(IRIG_UNIT_SIM_PATH), arguments + options);
}

SimulatedUnit::~SimulatedUnit() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished();
    }
}

bool SimulatedUnit::WaitReady(int times, int timeoutMs) {
    return WaitUntil([&] { return output_.count("ready on") >= times; }, timeoutMs);
}

QByteArray SimulatedUnit::Flash() const {
    QFile file(flashOut_);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void SimulatedUnit::Stop() {
    process_.terminate();
    process_.waitForFinished(5000);
    errors_ += process_.readAllStandardError();
}

QString SimulatedUnit::Errors() {
    errors_ += process_.readAllStandardError();
    return QString::fromLocal8Bit(errors_);
}

SimulatedUnits::SimulatedUnits(const QString& dir, int count, const QStringList& options)
    : dir_(dir), count_(count), options_(options), anyPort_(dir.isEmpty()) {
    Listen();
    Start();
}

SimulatedUnits::SimulatedUnits(quint16 firstPort, int count, const QStringList& options)
    : count_(count), options_(options), firstPort_(firstPort), anyPort_(firstPort == 0) {
    Listen();
    Start();
}

void SimulatedUnits::Listen() {
    QObject::connect(&process_, &QProcess::readyReadStandardOutput,
                     [this] { output_ += process_.readAllStandardOutput(); });
    QObject::connect(&process_, &QProcess::readyReadStandardError,
                     [this] { errors_ += process_.readAllStandardError(); });
}

// Any TCP ports: a range below the system's ephemeral one (32768 and up), so that no client's end
// holds one.
void SimulatedUnits::Start() {
    if (anyPort_) {
        firstPort_ =
            static_cast<quint16>(10'000 + QRandomGenerator::global()->bounded(
                                              static_cast<quint32>(std::max(1, 22'000 - count_))));
    }
    const QStringList where = firstPort_ > 0
                                  ? QStringList{QStringLiteral("--listen"),
                                                QStringLiteral("127.0.0.1:%1").arg(firstPort_)}
                                  : QStringList{QStringLiteral("--link-dir"), dir_};
    output_.clear();
    process_.start(
        QStringLiteral(IRIG_UNIT_SIM_PATH),
        QStringList{QStringLiteral("--units"), QString::number(count_)} + where + options_);
}

SimulatedUnits::~SimulatedUnits() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished();
    }
}

// On any TCP ports, a range some other program holds ends the simulator at once: it starts on
// another.
bool SimulatedUnits::WaitReady(int timeoutMs) {
    for (int tries = anyPort_ ? 20 : 1; tries > 0; --tries) {
        WaitUntil(
            [&] { return output_.contains("ready:") || process_.state() == QProcess::NotRunning; },
            timeoutMs);
        if (output_.contains("ready:") || process_.state() != QProcess::NotRunning) {
            break;
        }
        if (tries > 1 && anyPort_) {
            Start();
        }
    }
    return output_.contains("ready:");
}

QString SimulatedUnits::Link(int number) const {
    return firstPort_ > 0 ? QStringLiteral("socket://127.0.0.1:%1").arg(firstPort_ + number - 1)
                          : QStringLiteral("%1/unit%2").arg(dir_).arg(number);
}

QString SimulatedUnits::Errors() {
    errors_ += process_.readAllStandardError();
    return QString::fromLocal8Bit(errors_);
}

}  // namespace irig::test
