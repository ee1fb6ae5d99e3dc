// A site's units as code, in-process against simulated units: apply changes what differs and then
// finds nothing to do, --check reads only, a silent unit fails, the clock is set only beyond its
// limit; and every change irigctl makes is recorded, one line each, with who made it.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTimer>
#include <csignal>

#include "support/bytes.h"
#include "support/inprocess.h"
#include "unit/changerecord.h"

namespace irig::cli {
namespace {

class Fleet : public InProcess {
protected:
    QString Inventory(const QByteArray& yaml) { return Write(QStringLiteral("units.yaml"), yaml); }
    qsizetype Said(int unit, const QString& line) const {
        return units.at(static_cast<size_t>(unit))->log.count(line);
    }
    static QString User() { return unit::ChangeRecord::User(); }
};

TEST_F(Fleet, ApplyChangesWhatDiffersThenFindsNothingToDo) {
    AddUnit();
    const QString file = Inventory(
        "defaults: {gps_offset: -5, ieee1344: true}\n"
        "units:\n  sub-a-1: {port: COM1}\n");
    const Ran first = Run(QStringLiteral("apply -i %1 --all").arg(file));
    EXPECT_EQ(first.exitCode, 0) << first.err.toStdString();
    EXPECT_EQ(first.out,
              QStringLiteral("sub-a-1 (COM1): changed: GPS 0 -> -5, IEEE 1344 off -> on\n"));
    EXPECT_EQ(changes, QStringList{QStringLiteral("sub-a-1 (COM1): offsets set by %1: GPS 0 -> -5, "
                                                  "IEEE 1344 off -> on (IRIG-B 0 unchanged), read "
                                                  "back")
                                       .arg(User())});
    const Ran second = Run(QStringLiteral("apply -i %1 --unit sub-a-1").arg(file));
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.out, QStringLiteral("sub-a-1 (COM1): ok\n"));
    EXPECT_EQ(Said(0, QStringLiteral("set offsets 02 00 FB 01 ")), 1) << "one set frame in all";
    EXPECT_EQ(changes.size(), 1) << "nothing more to record";
}

TEST_F(Fleet, CheckReadsOnlyAndSaysWhatWouldChange) {
    AddUnit();
    const QString file = Inventory("units:\n  u1: {port: COM1, irig_offset: 3}\n");
    const Ran check = Run(QStringLiteral("apply --check -i %1 --all --json").arg(file));
    EXPECT_EQ(check.exitCode, 5);
    const QJsonObject unit = Json(check)[QStringLiteral("units")][0].toObject();
    EXPECT_EQ(unit[QStringLiteral("result")].toString(), QStringLiteral("would change"));
    EXPECT_EQ(unit[QStringLiteral("unit")].toString(), QStringLiteral("u1"));
    EXPECT_EQ(Said(0, QStringLiteral("set offsets 02 03 00 00 ")), 0) << "no set frame";
    EXPECT_EQ(Run(QStringLiteral("apply -i %1 --all").arg(file)).exitCode, 0);
    EXPECT_EQ(Run(QStringLiteral("apply --check -i %1 --all").arg(file)).exitCode, 0);
}

// Ctrl-C while every unit's port is still opening (terminal servers that never answer the line's
// settings): each unit ends not started, with its line, its message and its JSON entry.
TEST_F(Fleet, UnitsStillOpeningAtCtrlCEndNotStarted) {
    QTcpServer silent[2];
    QByteArray yaml = "units:\n";
    int connected = 0;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(silent[i].listen(QHostAddress::LocalHost));
        QObject::connect(&silent[i], &QTcpServer::newConnection, [&connected] {
            if (++connected == 2) {
                std::raise(SIGINT);
            }
        });
        yaml += QStringLiteral("  u%1: {port: \"rfc2217://127.0.0.1:%2\"}\n")
                    .arg(i + 1)
                    .arg(silent[i].serverPort())
                    .toUtf8();
    }
    const Ran ran =
        test::RunIrigctl({QStringLiteral("apply"), QStringLiteral("-i"), Inventory(yaml),
                          QStringLiteral("--all"), QStringLiteral("--json")});
    EXPECT_EQ(ran.exitCode, 130) << ran.err.toStdString();
    const QJsonArray each = Json(ran)[QStringLiteral("units")].toArray();
    ASSERT_EQ(each.size(), 2) << ran.out.toStdString();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(each[i][QStringLiteral("result")].toString(), QStringLiteral("not started"));
        EXPECT_EQ(each[i][QStringLiteral("error")].toString(), QStringLiteral("interrupted"));
        EXPECT_TRUE(ran.err.contains(QStringLiteral("u%1 (rfc2217://127.0.0.1:%2): not started: "
                                                    "interrupted")
                                         .arg(i + 1)
                                         .arg(silent[i].serverPort())))
            << ran.err.toStdString();
    }
}

// A unit whose port cannot be opened has failed like a silent one: each has its line and its
// JSON entry, and neither keeps the others from being applied.
TEST_F(Fleet, UnitsThatCannotBeOpenedOrAreSilentFailAndTheOthersAreApplied) {
    sim::Options silent;
    silent.silent = true;
    for (int run = 0; run < 2; ++run) {
        units = {nullptr, std::make_shared<test::SimUnit>(),
                 std::make_shared<test::SimUnit>(silent)};
        const QString file = Inventory(
            "units:\n  u0: {port: COM3}\n  u1: {port: COM1, gps_offset: 1}\n"
            "  u2: {port: COM2, gps_offset: 1}\n");
        const Ran ran = Run(QStringLiteral("apply -i %1 --all --timeout 100%2")
                                .arg(file, run == 0 ? QString() : QStringLiteral(" --json")));
        EXPECT_EQ(ran.exitCode, 4);
        EXPECT_TRUE(ran.err.contains(QStringLiteral("u0 (COM3): cannot open the port: ")))
            << ran.err.toStdString();
        EXPECT_TRUE(ran.err.contains(
            QStringLiteral("u2 (COM2): reading the offsets: no answer within 100 ms")))
            << ran.err.toStdString();
        if (run == 0) {
            EXPECT_EQ(ran.out, QStringLiteral("u0 (COM3): failed\nu1 (COM1): changed: GPS 0 -> 1\n"
                                              "u2 (COM2): failed\n"));
            continue;
        }
        const QJsonArray each = Json(ran)[QStringLiteral("units")].toArray();
        ASSERT_EQ(each.size(), 3);
        for (const int i : {0, 2}) {
            EXPECT_EQ(each[i][QStringLiteral("unit")].toString(), QStringLiteral("u%1").arg(i));
            EXPECT_EQ(each[i][QStringLiteral("result")].toString(), QStringLiteral("failed"));
            EXPECT_FALSE(each[i][QStringLiteral("error")].toString().isEmpty());
        }
    }
}

TEST_F(Fleet, TheClockIsSetOnlyWhenItIsSurelyBeyondItsLimit) {
    sim::Options far;
    far.clockOffsetSeconds = 0.5;
    AddUnit(far);
    sim::Options near;
    near.clockOffsetSeconds = 0.02;
    AddUnit(near);
    const QString file = Inventory(
        "defaults: {max_clock_offset_ms: 100}\n"
        "units:\n  far: {port: COM1}\n  near: {port: COM2}\n");
    const Ran ran = Run(QStringLiteral("apply -i %1 --all").arg(file));
    EXPECT_EQ(ran.exitCode, 0) << ran.err.toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^far \\(COM1\\): changed: clock set \\(it was "
                                                  "[0-9]+ ms ahead \\(±[0-9]+ ms\\)\\)\\n"
                                                  "near \\(COM2\\): ok\\n$"))
                    .match(ran.out)
                    .hasMatch())
        << ran.out.toStdString();
    EXPECT_EQ(units[0]->log.filter(QStringLiteral("set time")).size(), 1);
    EXPECT_EQ(units[1]->log.filter(QStringLiteral("set time")).size(), 0);
}

// Names and labels from the file are printed with every byte outside printable ASCII as \xNN.
TEST_F(Fleet, InventoryListsTheSelectionWithoutOpeningAPort) {
    const QString file = Inventory(
        "defaults: {firmware: \"2.4\"}\nunits:\n"
        "  a\\b: {port: COM1, labels: {site: \"Z\xC3\xBCrich\"}}\n  b: {port: COM2}\n");
    const Ran ran = Run(QStringLiteral("inventory -i %1 --select site=Z\u00FCrich").arg(file));
    EXPECT_EQ(ran.exitCode, 0) << ran.err.toStdString();
    EXPECT_EQ(ran.out, QStringLiteral("a\\\\b  COM1  site=Z\\xC3\\xBCrich  firmware 2.4\n"));
    EXPECT_TRUE(ports.empty());
}

struct ReadBackRow {
    const char* name;
    sim::Options unit;
    // The bytes that answer the set of the offsets in place of the unit's; empty: nothing, and
    // Ctrl-C comes.
    std::optional<const char*> setAnswer;
    const char* arguments;  // FILE stands for an inventory of u1 on COM1 with `setting`
    const char* setting;
    int exitCode;
    const char* says;    // on standard error, or in the JSON
    const char* record;  // a pattern for the one record, USER for the login name
};

class ReadBack : public Fleet, public testing::WithParamInterface<ReadBackRow> {};

// After every write the unit is read back: one that answers or keeps another value has failed,
// and the message and the record name both values. A set interrupted before its answer is recorded
// as unknown and still has its result.
TEST_P(ReadBack, AWriteTheUnitDidNotKeepFails) {
    const ReadBackRow& row = GetParam();
    AddUnit(row.unit);
    if (row.setAnswer) {
        answerInstead = [&row](const QByteArray& sent) -> std::optional<QByteArray> {
            if (!sent.startsWith(test::Bytes("80 E2 02"))) {
                return std::nullopt;
            }
            if (**row.setAnswer == '\0') {
                QTimer::singleShot(0, [] { std::raise(SIGINT); });
            }
            return test::Bytes(*row.setAnswer);
        };
    }
    const QString file = Inventory(QByteArray("units:\n  u1: {port: COM1, ") + row.setting + "}\n");
    const Ran ran = Run(QString::fromUtf8(row.arguments).replace(QStringLiteral("FILE"), file));
    EXPECT_EQ(ran.exitCode, row.exitCode);
    EXPECT_TRUE(ran.err.contains(QLatin1String(row.says)) ||
                ran.out.contains(QLatin1String(row.says)))
        << ran.err.toStdString() << ran.out.toStdString();
    ASSERT_EQ(changes.size(), 1) << changes.join('\n').toStdString();
    const QString pattern =
        QString::fromUtf8(row.record)
            .replace(QStringLiteral("USER"), QRegularExpression::escape(User()));
    EXPECT_TRUE(QRegularExpression(QLatin1Char('^') + pattern + QLatin1Char('$'))
                    .match(changes[0])
                    .hasMatch())
        << changes[0].toStdString();
}

sim::Options ForgetsWrites(double clockOffsetSeconds = 0) {
    sim::Options options;
    options.forgetWrites = true;
    options.clockOffsetSeconds = clockOffsetSeconds;
    return options;
}

INSTANTIATE_TEST_SUITE_P(
    Fleet, ReadBack,
    testing::Values(
        ReadBackRow{"offsets_not_kept",
                    ForgetsWrites(),
                    {},
                    "offsets --port COM1 --set --irig 0 --gps 7",
                    "",
                    1,
                    "COM1 (/dev/ttyS0): set offsets: the unit kept GPS offset 0, not 7",
                    "COM1 \\(/dev/ttyS0\\): offsets set by USER: GPS 0 -> 7 \\(.*\\), the unit "
                    "kept GPS offset 0, not 7"},
        ReadBackRow{"offsets_answered_otherwise",
                    {},
                    "80 E2 02 00 00 00 80 E3",
                    "offsets --port COM1 --set --irig 0 --gps 7",
                    "",
                    1,
                    "COM1 (/dev/ttyS0): set offsets: the unit answered GPS offset 0, not 7",
                    ".*, the unit answered GPS offset 0, not 7"},
        ReadBackRow{
            "apply_offsets_not_kept",
            ForgetsWrites(),
            {},
            "apply -i FILE --all",
            "gps_offset: 3",
            1,
            "u1 (COM1): setting the offsets: the unit kept GPS offset 0, not 3",
            "u1 \\(COM1\\): offsets set by USER: GPS 0 -> 3 .*, the unit kept GPS offset 0, "
            "not 3"},
        ReadBackRow{"apply_clock_not_kept",
                    ForgetsWrites(5),
                    {},
                    "apply -i FILE --all",
                    "max_clock_offset_ms: 100",
                    1,
                    "u1 (COM1): setting the clock: the unit kept its clock ",
                    "u1 \\(COM1\\): clock set by USER: [45][0-9]{3} ms ahead \\(\\+/-[0-9]+ ms\\) "
                    "-> [45][0-9]{3} ms ahead \\(\\+/-[0-9]+ ms\\), not kept"},
        ReadBackRow{
            "ctrl_c_while_the_set_is_unanswered",
            {},
            "",
            "apply -i FILE --all --json",
            "gps_offset: 3",
            130,
            R"("error":"setting the offsets: interrupted","port":"COM1","result":"interrupted")",
            "u1 \\(COM1\\): offsets set by USER: GPS 0 -> 3 .*, unknown: interrupted while "
            "the unit was being set"}),
    [](const testing::TestParamInfo<ReadBackRow>& row) { return row.param.name; });

struct RecordRow {
    const char* name;
    const char* arguments;  // FILE stands for a small firmware file
    sim::Options options;
    std::vector<const char*> records;  // each a pattern, USER for the login name
};

class Records : public Fleet, public testing::WithParamInterface<RecordRow> {};

TEST_P(Records, EveryChangeIsOneLineWithWhoMadeIt) {
    const RecordRow& row = GetParam();
    AddUnit(row.options);
    const test::FirmwareFile firmware = test::MakeFirmwareFile(dir.path(), 0x200, 5);
    Run(QString::fromUtf8(row.arguments).replace(QStringLiteral("FILE"), firmware.path));
    ASSERT_EQ(changes.size(), static_cast<qsizetype>(row.records.size()))
        << changes.join('\n').toStdString();
    for (size_t i = 0; i < row.records.size(); ++i) {
        const QString pattern =
            QString::fromUtf8(row.records[i])
                .replace(QStringLiteral("USER"), QRegularExpression::escape(User()));
        EXPECT_TRUE(QRegularExpression(QLatin1Char('^') + pattern + QLatin1Char('$'))
                        .match(changes[static_cast<qsizetype>(i)])
                        .hasMatch())
            << changes[static_cast<qsizetype>(i)].toStdString();
    }
}

sim::Options FailingErase() {
    sim::Options options;
    options.failErase = 1;
    return options;
}

INSTANTIATE_TEST_SUITE_P(
    Fleet, Records,
    testing::Values(
        RecordRow{"offsets_read_first",
                  "offsets --port COM1 --set --irig 7 --gps 0",
                  {},
                  {"COM1 \\(/dev/ttyS0\\): offsets set by USER: IRIG-B 0 -> 7 \\(GPS 0, IEEE 1344 "
                   "off unchanged\\), read back"}},
        RecordRow{"offsets_and_flag_unread",
                  "offsets --port COM1 --set --irig 7 --gps -23 --ieee1344 on",
                  {},
                  {"COM1 \\(/dev/ttyS0\\): offsets set by USER: IRIG-B -> 7, GPS -> -23, IEEE "
                   "1344 -> on \\(before unknown\\), read back"}},
        RecordRow{"clock",
                  "set-time --port COM1",
                  {},
                  {"COM1 \\(/dev/ttyS0\\): clock set by USER: \\(before unknown\\) -> [0-9/]+ "
                   "[0-9:]+ sent; read back: the same second"}},
        RecordRow{"flash_done",
                  "flash FILE --port COM1",
                  {},
                  {"COM1 \\(/dev/ttyS0\\): flash started by USER: firmware-5\\.hex, 5 blocks",
                   "COM1 \\(/dev/ttyS0\\): flash done by USER: firmware-5\\.hex, answers version "
                   "[0-9]+\\.[0-9]"}},
        RecordRow{"flash_failed",
                  "flash FILE --port COM1 --retries 0",
                  FailingErase(),
                  {"COM1 \\(/dev/ttyS0\\): flash started by USER: firmware-5\\.hex, 5 blocks",
                   "COM1 \\(/dev/ttyS0\\): flash failed by USER: the erase failed .*"}},
        RecordRow{"reads_are_not_recorded", "status --port COM1", {}, {}}),
    [](const testing::TestParamInfo<RecordRow>& row) { return row.param.name; });

}  // namespace
}  // namespace irig::cli
