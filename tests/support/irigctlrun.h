// irigctl's arguments run in-process, as its main runs them, with what it writes to standard
// output and standard error. For suites that link irigctl's library.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <cstdio>

#include "cli/runner.h"

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

// Runs `words` (without the program's name); each port through `makePort`, or the serial
// component the program itself uses.
inline Ran RunIrigctl(const QStringList& words, const unit::PortMaker& makePort = {}) {
    const cli::CommandLine line =
        cli::ParseCommandLine(QStringList{QStringLiteral("irigctl")} + words);
    EXPECT_TRUE(line.request.has_value()) << line.text.toStdString();
    if (!line.request) {
        return {};
    }
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int exitCode = cli::Run(*line.request, out, err, makePort);
    return {exitCode, ReadBack(out), ReadBack(err)};
}

}  // namespace irig::test
