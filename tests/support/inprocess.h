// irigctl run in-process against simulated units, one behind each port it opens, for the suites
// of its commands: what it prints, and what it records as changes.
#pragma once

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <memory>
#include <vector>

#include "support/firmwarefile.h"
#include "support/irigctlrun.h"
#include "support/portmapfolder.h"
#include "support/simulatedport.h"

namespace irig::cli {

using test::Ran;

class InProcess : public testing::Test {
protected:
    // Runs irigctl's arguments (DIR standing for the test's folder); each port it opens is the
    // next unit of `units`, simulated.
    Ran Run(const QString& arguments) {
        QStringList words = arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        words.replaceInStrings(QStringLiteral("DIR"), dir.path());
        return test::RunIrigctl(words, Ports(), &changes, localMonitor);
    }
    // Each port made from now on is the next unit of `units`; a null one's port cannot be opened.
    unit::PortMaker Ports() {
        ports.clear();
        return [this, next = size_t{0}]() mutable {
            const std::shared_ptr<test::SimUnit>& unit = units.at(next++);
            auto port = std::make_unique<test::SimulatedPort>(
                unit ? unit : std::make_shared<test::SimUnit>());
            port->failOpen =
                unit ? failOpen : link::PortFailure{link::PortFailure::kNoSuchDevice, {}, {}, {}};
            port->answerInstead = answerInstead;
            ports.push_back(port.get());
            return port;
        };
    }
    // A unit made with `options`, re-booting at once.
    std::shared_ptr<test::SimUnit> AddUnit(sim::Options options = {}) {
        options.rebootMs = 5;
        units.push_back(std::make_shared<test::SimUnit>(std::move(options)));
        return units.back();
    }
    QString Write(const QString& name, const QByteArray& content) {
        return test::WriteFile(dir.filePath(name), content);
    }
    static QJsonObject Json(const Ran& ran) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(ran.out.toUtf8(), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << ran.out.toStdString();
        return document.object();
    }

    test::TempPortMap map;  // COMn is /dev/ttyS<n-1> unless a test maps it
    QTemporaryDir dir;
    std::vector<std::shared_ptr<test::SimUnit>> units;
    std::vector<test::SimulatedPort*> ports;  // the units' ports, while a run lasts
    std::optional<link::PortFailure> failOpen;
    std::function<std::optional<QByteArray>(const QByteArray&)> answerInstead;
    QStringList changes;  // what the runs recorded as changes to the units
    // Where a busy port's watcher is asked for: by default where nothing answers.
    QUrl localMonitor{QStringLiteral("http://127.0.0.1:1")};
};

}  // namespace irig::cli
