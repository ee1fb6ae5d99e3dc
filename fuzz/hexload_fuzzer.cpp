// Hostile firmware files: arbitrary contents, read in arbitrary chunks, through the line reader and
// ParseHexLine into the image. Half of the inputs have the checksum of every line of a plausible
// length put right first, so that the fuzzer gets past the checksum to what records mean. Checks,
// beyond "no crash" (the image sits in a heap block of exactly its size, so a write outside it is
// an AddressSanitizer report): the image, the count of stored bytes and the verdict agree with a
// plain reading of the loader's rules (type 02 and 04 records both set the base), so every byte an
// accepted file's data records put at an address is there, and nothing else is; the faulty lines
// and the verdict on having something to program agree too.
#include <fuzzer/FuzzedDataProvider.h>

#include <QIODevice>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "check.h"
#include "flash/hexfile.h"
#include "support/scriptedfile.h"

namespace {

using irig::flash::FlashImage;
using irig::flash::kImageTop;

int Digit(char c) {
    if (c >= '1' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return 0;
}

// The loader's rules read plainly, position by position (positions count from 1).
struct Reference {
    explicit Reference(std::vector<uint8_t>& image) : image(image) {
        image.assign(kImageTop + 1, 0xFF);
    }

    std::vector<uint8_t>& image;
    int64_t loaded = 0;
    int64_t faulty = 0;  // lines with a message
    bool failed = false;
    int64_t base = 0;

    static int Byte(const QByteArray& line, int position) {
        auto at = [&](int p) { return p - 1 < line.size() ? Digit(line[p - 1]) : 0; };
        return at(position) * 16 + at(position + 1);
    }
    static int Long(QByteArray text) {
        text = ("0000" + text).right(4);
        return Digit(text[0]) * 4096 + Digit(text[1]) * 256 + Digit(text[2]) * 16 + Digit(text[3]);
    }
    void Line(const QByteArray& line) {
        const int count = line.size() >= 11 ? Byte(line, 2) : 0;
        if (line.size() < 11 || line[0] != ':' || line.size() != 2 * count + 11) {
            failed = true;
            ++faulty;
            return;
        }
        int sum = 0;
        for (int p = 2; p < line.size(); p += 2)
            sum += Byte(line, p);
        if (sum % 256 != 0) {
            failed = true;
            ++faulty;
            return;
        }
        const int type = Byte(line, 8);
        if (type == 2)
            base = Long(line.mid(9, 4)) * 16;
        if (type == 4)
            base = int64_t{Long(line.mid(9, 4))} * 65536;
        if (type != 0)
            return;
        const int offset = Long(line.mid(3, 4));
        for (int k = 0; k < count; ++k) {
            if (base + offset + k > kImageTop) {
                failed = true;
                return;
            }
            image[size_t(base + offset + k)] = uint8_t(Byte(line, 10 + 2 * k));
            ++loaded;
        }
    }
    void File(const QByteArray& file) {
        for (qsizetype from = 0; from < file.size();) {
            qsizetype cr = file.indexOf('\r', from);
            if (cr < 0)
                cr = file.size();
            Line(file.mid(from, cr - from));
            from = cr + 1;
            if (from < file.size() && file[from] == '\n')
                ++from;
        }
    }
};

// Rewrites the last two characters of each line whose length fits its count with the checksum
// that makes the line sound.
QByteArray FixChecksums(QByteArray file) {
    for (qsizetype from = 0; from < file.size();) {
        qsizetype cr = file.indexOf('\r', from);
        if (cr < 0)
            cr = file.size();
        const QByteArray line = file.mid(from, cr - from);
        if (line.size() >= 11 && line.size() == 2 * Reference::Byte(line, 2) + 11) {
            int sum = 0;
            for (int p = 2; p < line.size() - 2; p += 2)
                sum += Reference::Byte(line, p);
            const QByteArray checksum =
                QByteArray::number((256 - sum % 256) % 256 + 256, 16).right(2);
            file.replace(cr - 2, 2, checksum);
        }
        from = cr + 1;
    }
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const auto chunk = input.ConsumeIntegralInRange<qint64>(1, 70000);
    const bool fixChecksums = input.ConsumeBool();
    const std::string bytes = input.ConsumeRemainingBytesAsString();
    QByteArray content(bytes.data(), qsizetype(bytes.size()));
    if (fixChecksums) {
        content = FixChecksums(content);
    }

    // Kept from run to run; the image's heap block is exactly its size, so a write past either end
    // is an AddressSanitizer report.
    static auto image = std::make_unique<FlashImage>();
    static std::vector<uint8_t> expected;
    irig::test::ScriptedFile file(content, chunk);
    irig::flash::HexLoad load(*image, file, [](const QString&) {});
    load.Begin(QStringLiteral("fuzz.hex"));
    while (!load.AtEnd())
        load.ReadLine();
    load.Finish();
    Check(!load.ReadFailed(), "a readable file reads");

    Reference reference(expected);
    reference.File(content);
    Check(load.Parser().lngBytesLoaded == reference.loaded,
          "lngBytesLoaded counts every byte stored");
    Check(load.Succeeded() == !reference.failed, "the verdict follows the rules");
    Check(load.FaultyLines() == reference.faulty, "every faulty line is counted");
    Check(std::memcmp(image->data(), reference.image.data(), reference.image.size()) == 0,
          "the image holds exactly what the data records put there");
    static const std::vector<uint8_t> erased(kImageTop + 1 - 0x4000, 0xFF);
    const bool dataFrom0x4000 =
        std::memcmp(reference.image.data() + 0x4000, erased.data(), erased.size()) != 0;
    Check(load.Programmable() == (!reference.failed && dataFrom0x4000),
          "only a sound file with data from 0x4000 up can be programmed");
    return 0;
}
