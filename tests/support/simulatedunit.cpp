#include "support/simulatedunit.h"

#include <QFile>

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
    : dir_(dir) {
    Start(QStringList{QStringLiteral("--units"), QString::number(count),
                      QStringLiteral("--link-dir"), dir} +
          options);
}

SimulatedUnits::SimulatedUnits(quint16 firstPort, int count, const QStringList& options)
    : firstPort_(firstPort) {
    Start(QStringList{QStringLiteral("--units"), QString::number(count), QStringLiteral("--listen"),
                      QStringLiteral("127.0.0.1:%1").arg(firstPort)} +
          options);
}

void SimulatedUnits::Start(const QStringList& arguments) {
    QObject::connect(&process_, &QProcess::readyReadStandardOutput,
                     [this] { output_ += process_.readAllStandardOutput(); });
    QObject::connect(&process_, &QProcess::readyReadStandardError,
                     [this] { errors_ += process_.readAllStandardError(); });
    process_.start(QStringLiteral(IRIG_UNIT_SIM_PATH), arguments);
}

SimulatedUnits::~SimulatedUnits() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished();
    }
}

bool SimulatedUnits::WaitReady(int timeoutMs) {
    return WaitUntil(
               [&] {
                   return output_.contains("ready:") || process_.state() == QProcess::NotRunning;
               },
               timeoutMs) &&
           output_.contains("ready:");
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
