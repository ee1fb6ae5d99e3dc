// irigctl's arguments run in-process, as its main runs them, with what it writes to standard
// output and standard error. For suites that link irigctl's library.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <cstdio>

#include "cli/runner.h"
#include "irigctl/commands.h"

namespace irig::test {

struct Ran {
    int exitCode = -1;
    QString out;
    QString err;
};

inline QString ReadBack(std::FILE* file) {
    std::rewind(file);
    QByteArray bytes;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        bytes.append(buffer, static_cast<qsizetype>(got));
    }
    std::fclose(file);
    return QString::fromLocal8Bit(bytes);
}

// Runs `words` (without the program's name) as main does, the inventory read first; each port
// through `makePort`, or the serial component the program itself uses; every change recorded
// through `changes` (by default kept in `changes` of the result); a busy port's watcher asked for
// at `localMonitor` (by default where irigctl asks).
inline Ran RunIrigctl(const QStringList& words, const unit::PortMaker& makePort = {},
                      QStringList* changes = nullptr, const QUrl& localMonitor = {}) {
    cli::CommandLine line = cli::ParseCommandLine(QStringList{QStringLiteral("irigctl")} + words,
                                                  irigctl::AllCommands());
    EXPECT_TRUE(line.request.has_value()) << line.text.toStdString();
    if (!line.request) {
        return {};
    }
    if (const std::optional<QString> fault = cli::ResolveInventory(*line.request)) {
        return {cli::kUsage, {}, *fault};
    }
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    QStringList ignored;
    QStringList* kept = changes != nullptr ? changes : &ignored;
    const int exitCode = cli::Run(
        *line.request, out, err, makePort, [kept](const QString& change) { kept->append(change); },
        localMonitor);
    return {exitCode, ReadBack(out), ReadBack(err)};
}

}  // namespace irig::test
