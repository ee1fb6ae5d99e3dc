// irigctl inspect against the window's Load on the same files: the same messages, the same byte
// count, the same blocks; and the figures it adds (ranges, SHA-256, time on the wire).
#include "cli/inspect.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <memory>

#include "flash/session.h"
#include "link/framecodec.h"
#include "support/bytes.h"
#include "support/firmwarefile.h"
#include "support/hexrecords.h"
#include "support/windowtest.h"

namespace irig::test {
namespace {

class InspectAgainstTheWindow : public WindowTest {
protected:
    // The window's log lines of a load of `path`, without the load's own bookkeeping.
    QStringList WindowLoad(const QString& path) {
        Receive(Bytes("80 F1"));
        window->SetFlashFileChooser([path] { return path; });
        Button("cmdLoad")->click();
        QStringList lines = Log().split(QStringLiteral("\r\n"));
        lines.removeLast();   // "Program ID: ..."
        lines.removeFirst();  // "Initalizing flash image"
        lines.removeFirst();  // "Opening ..."
        lines.removeFirst();  // "Reading flash data"
        lines.removeLast();   // "Closing flash data file"
        return lines;
    }
    // Program and echo every block; the number of blocks the window sends.
    int WindowBlocks() {
        Button("cmdProgram")->click();
        Receive(Bytes("80 F2 FF 80 F3"));
        int blocks = 0;
        while (!Log().endsWith(QStringLiteral("Programming complete\r\n")) && blocks < 2000) {
            ++blocks;
            Receive(port.sent.last());
        }
        return blocks;
    }
    QString Write(const QByteArray& content) {
        return WriteFile(dir.filePath(QStringLiteral("file%1.hex").arg(files++)), content);
    }

    QTemporaryDir dir;
    int files = 0;
};

TEST_F(InspectAgainstTheWindow, SameMessagesBytesAndBlocks) {
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x3000 + 3, 41);
    const QString files[] = {
        firmware.path,
        Write(Lines({SegmentRecord(0x1000), DataRecord(0x0100, QByteArray(40, 'x')),
                     DataRecord(0x3FF0, QByteArray(32, 'y'))})),
        Write(Lines({DataRecord(0x3FF0, QByteArray(32, 'z')), "junk", "",
                     Record(0x00, 0x4000, QByteArray(3, 'q'), 1)})),
        Write(Lines({DataRecord(0x0000, QByteArray(16, 'w'))})),
    };
    for (const QString& path : files) {
        auto image = std::make_unique<flash::FlashImage>();
        const cli::Inspection inspection = cli::Inspect(path, *image);
        ASSERT_TRUE(inspection.readable);
        window = std::make_unique<shell::IRIG>(port);
        EXPECT_EQ(inspection.messages, WindowLoad(path)) << path.toStdString();
        EXPECT_EQ(inspection.programmable, Enabled("cmdProgram")) << path.toStdString();
        if (inspection.programmable) {
            EXPECT_EQ(inspection.blocks, WindowBlocks()) << path.toStdString();
        }
    }
}

TEST(Inspect, RangesHashAndWireTime) {
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("two.hex")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    const QByteArray data(200, '\x80');  // every data byte doubled on the wire
    file.write(Lines({DataRecord(0x4000, data.left(100)), DataRecord(0x4064, data.mid(100)),
                      DataRecord(0x5000, test::Bytes("01 02"))}));
    file.close();
    auto image = std::make_unique<flash::FlashImage>();
    const cli::Inspection inspection = cli::Inspect(file.fileName(), *image);
    ASSERT_TRUE(inspection.programmable);
    EXPECT_EQ(inspection.ranges,
              (QList<QPair<int32_t, int32_t>>{{0x4000, 0x40C7}, {0x5000, 0x5001}}));
    EXPECT_EQ(inspection.blocks, 34);  // 0x4000 to 0x5080: 0x5001 is not the first of its block
    QByteArray written(reinterpret_cast<const char*>(image->data() + 0x4000), 34 * 128);
    EXPECT_EQ(inspection.sha256,
              QCryptographicHash::hash(written, QCryptographicHash::Sha256).toHex());
    qint64 wire = 6 + 5;
    for (int32_t block = 0x4000; block <= 0x5080; block += 128) {
        wire += 2 * link::Frame(link::code::kStartBlock,
                                flash::AddressToBytes(block) + written.mid(block - 0x4000, 128))
                        .size();
    }
    EXPECT_EQ(inspection.wireBytes, wire);
    EXPECT_DOUBLE_EQ(inspection.updateSeconds, static_cast<double>(wire) * 10 / 19200);
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
