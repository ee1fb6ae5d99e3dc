// irigctl inspect against the loader and the session on the same files: the same messages, the
// same verdict, the same blocks; and the figures it adds (ranges, overlaps, SHA-256, time on the
// wire), with what it prints of a file's text.
#include "cli/inspect.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <memory>

#include "flash/session.h"
#include "link/framecodec.h"
#include "link/printable.h"
#include "support/bytes.h"
#include "support/firmwarefile.h"
#include "support/hexrecords.h"

namespace irig::test {
namespace {

// What the window's Load logs of a file (the loader's messages without its own bookkeeping),
// whether Program may send it, and how many blocks a session sends of the image it leaves.
struct Loaded {
    QStringList messages;
    bool programmable = false;
    int blocks = 0;
};

Loaded LoadAndProgramme(const QString& path) {
    Loaded loaded;
    auto image = std::make_unique<flash::FlashImage>();
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    QString log;
    flash::HexLoad load(*image, file, [&](const QString& text) { log += text; });
    load.Begin(path);
    while (!load.AtEnd()) {
        load.ReadLine();
    }
    load.Finish();
    loaded.messages = log.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts).mid(3);
    loaded.messages.removeLast();  // "Closing flash data file"
    loaded.programmable = load.Programmable();
    flash::FlashSession session;
    session.Program(*image);
    flash::FlashSession::Step step = session.FlashStep(link::code::kEndErase, Bytes("FF"), *image);
    while (step.sent && loaded.blocks < 2000) {
        ++loaded.blocks;
        step = session.FlashStep(link::code::kEndBlock, session.FlashBlock(), *image);
    }
    return loaded;
}

TEST(Inspect, SameMessagesBytesAndBlocksAsTheLoaderAndTheSession) {
    QTemporaryDir dir;
    int files = 0;
    auto write = [&](const QByteArray& content) {
        return WriteFile(dir.filePath(QStringLiteral("file%1.hex").arg(files++)), content);
    };
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x3000 + 3, 41);
    const QString paths[] = {
        firmware.path,
        write(Lines({SegmentRecord(0x1000), DataRecord(0x0100, QByteArray(40, 'x')),
                     DataRecord(0x3FF0, QByteArray(32, 'y'))})),
        write(Lines({DataRecord(0x3FF0, QByteArray(32, 'z')), "junk", "",
                     Record(0x00, 0x4000, QByteArray(3, 'q'), 1)})),
        write(Lines({DataRecord(0x0000, QByteArray(16, 'w'))})),
    };
    for (const QString& path : paths) {
        auto image = std::make_unique<flash::FlashImage>();
        const cli::Inspection inspection = cli::Inspect(path, *image);
        ASSERT_TRUE(inspection.readable);
        const Loaded loaded = LoadAndProgramme(path);
        EXPECT_EQ(inspection.messages, loaded.messages) << path.toStdString();
        EXPECT_EQ(inspection.programmable, loaded.programmable) << path.toStdString();
        if (inspection.programmable) {
            EXPECT_EQ(inspection.blocks, loaded.blocks) << path.toStdString();
        }
    }
}

TEST(Inspect, RangesHashAndWireTime) {
    struct Row {
        const char* name;
        QByteArray file;
        QList<QPair<int32_t, int32_t>> ranges;
        int32_t lastBlock;
    };
    const QByteArray escapes(200, '\x80');  // every data byte doubled on the wire
    const Row rows[] = {
        // 0x5001 is not the first byte of its block: the last block starts at 0x5080.
        {"two runs",
         Lines({DataRecord(0x4000, escapes.left(100)), DataRecord(0x4064, escapes.mid(100)),
                DataRecord(0x5000, Bytes("01 02"))}),
         {{0x4000, 0x40C7}, {0x5000, 0x5001}},
         0x5080},
        // The top block holds the image's last byte and erased flash past it; the addresses of
        // the blocks from 0x8000 on hold 0x80 themselves.
        {"top of the image",
         Lines({DataRecord(0x4000, Bytes("01")), LinearRecord(1),
                DataRecord(0xFFF8, escapes.left(8)), LinearRecord(2),
                DataRecord(0x0000, Bytes("02"))}),
         {{0x4000, 0x4000}, {0x1FFF8, 0x20000}},
         0x20000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        const QString path = WriteFile(dir.filePath(QStringLiteral("firmware.hex")), row.file);
        ASSERT_FALSE(path.isEmpty());
        auto image = std::make_unique<flash::FlashImage>();
        const cli::Inspection inspection = cli::Inspect(path, *image);
        ASSERT_TRUE(inspection.programmable);
        EXPECT_EQ(inspection.ranges, row.ranges);
        EXPECT_EQ(inspection.lastBlock, row.lastBlock);
        EXPECT_EQ(inspection.blocks, (row.lastBlock - 0x4000) / 128 + 1);
        // What Program sends, block by block.
        QByteArray written;
        qint64 wire = 6 + 5;
        for (int32_t block = 0x4000; block <= row.lastBlock; block += 128) {
            QByteArray data(reinterpret_cast<const char*>(image->data()) + block,
                            std::min(128, flash::kImageTop + 1 - block));
            data.append(128 - data.size(), '\xFF');
            written += data;
            wire +=
                2 *
                link::Frame(link::code::kStartBlock, flash::AddressToBytes(block) + data).size();
        }
        EXPECT_EQ(inspection.sha256,
                  QCryptographicHash::hash(written, QCryptographicHash::Sha256).toHex());
        EXPECT_EQ(inspection.wireBytes, wire);
        EXPECT_DOUBLE_EQ(inspection.updateSeconds, static_cast<double>(wire) * 10 / 19200);
    }
}

TEST(Inspect, TextFromAUnitOrAFileCannotDriveTheTerminal) {
    struct Row {
        QString text;
        const char* shown;
    };
    for (const Row& row :
         {Row{QStringLiteral("$GPGGA,1*3F"), "$GPGGA,1*3F"},
          Row{QStringLiteral("\x1b]0;owned\x07\x1b[2J"), "\\x1B]0;owned\\x07\\x1B[2J"},
          Row{QStringLiteral("a\rb\nc\x7f"), "a\\x0Db\\x0Ac\\x7F"},
          Row{QString(QChar(0x9B)) + QChar(0xFF), "\\x9B\\xFF"},
          Row{QStringLiteral("C:\\fw"), "C:\\\\fw"}}) {
        EXPECT_EQ(link::Printable(row.text).toStdString(), row.shown);
    }
}

// What inspect says beyond the loader's messages, a line each.
TEST(Inspect, SaysOverlapsTheProgramIdAndLineEnds) {
    struct Row {
        const char* name;
        QByteArray file;
        const char* says;
    };
    const QByteArray id = QByteArray("FW\x1b[2J\r", 7);
    const Row rows[] = {
        {"overlaps",
         Lines({DataRecord(0x4010, QByteArray(16, 'a')), DataRecord(0x4008, QByteArray(16, 'b'))}),
         "Overlaps     8 bytes stored more than once, the first at 0x04010"},
        {"erased_program_id", Lines({DataRecord(0x4000, QByteArray(16, 'a'))}),
         "Program ID   (none)\n"},
        {"program_id_with_control_characters", Lines({DataRecord(0x4168, id + '\0')}),
         "Program ID   FW\\x1B[2J\\x0D\n"},
        {"lines_ending_in_lf_only", Lines({DataRecord(0x4000, Bytes("01")), EndRecord()}, "\n"),
         "The file's lines end in LF only; the loader needs CR LF"},
    };
    for (const Row& row : rows) {
        QTemporaryDir dir;
        auto image = std::make_unique<flash::FlashImage>();
        const cli::Inspection inspection =
            cli::Inspect(WriteFile(dir.filePath(QStringLiteral("f.hex")), row.file), *image);
        EXPECT_TRUE(inspection.Text().contains(QLatin1String(row.says)))
            << row.name << ":\n"
            << inspection.Text().toStdString();
    }
}

TEST(Inspect, DurationsKeepTheirUnitAcrossRounding) {
    struct Row {
        double seconds;
        const char* shown;
    };
    for (const Row& row :
         {Row{0.0324, "32 ms"}, Row{0.9994, "999 ms"}, Row{0.9996, "1.0 s"}, Row{45.24, "45.2 s"},
          Row{59.94, "59.9 s"}, Row{59.97, "1 min 0 s"}, Row{119.4, "1 min 59 s"},
          Row{119.6, "2 min 0 s"}, Row{128.01, "2 min 8 s"}}) {
        EXPECT_EQ(cli::Duration(row.seconds), QLatin1String(row.shown)) << row.seconds;
    }
}

}  // namespace
}  // namespace irig::test
