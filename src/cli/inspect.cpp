#include "cli/inspect.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <memory>

#include "flash/session.h"
#include "link/framecodec.h"
#include "link/printable.h"

namespace irig::cli {

namespace {

constexpr qint64 kHeadRead = 4096;

// The load's own bookkeeping lines, which say nothing about the file.
bool Bookkeeping(const QString& line) {
    return line == QLatin1String("Initalizing flash image") ||
           line.startsWith(QLatin1String("Opening ")) ||
           line == QLatin1String("Reading flash data") ||
           line == QLatin1String("Closing flash data file");
}

}  // namespace

QString Address(int32_t offset) {
    return QStringLiteral("0x%1")
        .arg(offset, 5, 16, QLatin1Char('0'))
        .toUpper()
        .replace(QLatin1String("0X"), QLatin1String("0x"));
}

QString Duration(double seconds) {
    // Each unit is chosen by the value as it will be shown, so that rounding never gives
    // "1000 ms" or "60.0 s".
    const qint64 milliseconds = qRound64(seconds * 1000);
    if (milliseconds < 1000) {
        return QStringLiteral("%1 ms").arg(milliseconds);
    }
    if (qRound64(seconds * 10) < 600) {
        return QStringLiteral("%1 s").arg(seconds, 0, 'f', 1);
    }
    const qint64 whole = qRound64(seconds);
    return QStringLiteral("%1 min %2 s").arg(whole / 60).arg(whole % 60);
}

Inspection Inspect(const QString& path, flash::FlashImage& image) {
    Inspection result;
    QFile file(path);
    if (!flash::OpenFirmwareFile(file, &result.readError)) {
        return result;
    }
    QString log;
    flash::HexLoad load(image, file, [&](const QString& text) { log += text; });
    load.Begin(path);
    while (!load.AtEnd()) {
        load.ReadLine();
    }
    load.Finish();
    if (load.ReadFailed()) {
        result.readError = file.errorString();
        return result;
    }
    result.readable = true;
    for (const QString& line : log.split(QLatin1String("\r\n"), Qt::SkipEmptyParts)) {
        if (!Bookkeeping(line)) {
            result.messages.append(line);
        }
    }
    result.programmable = load.Programmable();
    result.bytesLoaded = load.Parser().lngBytesLoaded;
    result.overlappingBytes = load.Parser().overlappingBytes;
    result.firstOverlap = load.Parser().firstOverlap;
    result.programId = flash::ProgramId(image);
    if (!load.Succeeded() && file.seek(0)) {
        // A file from a tool that ends lines with LF alone is one long line to the loader.
        const QByteArray head = file.read(kHeadRead);
        if (head.contains('\n') && !head.contains('\r')) {
            result.advice = QStringLiteral(
                "The file's lines end in LF only; the loader needs CR LF (or CR) at the end of "
                "each line, as compilers and objcopy write them: convert it, for example with "
                "\"unix2dos\" or \"sed -i 's/$/\\r/'\".");
        }
    }

    const auto& written = load.Parser().written;
    for (int32_t at = 0; at <= flash::kImageTop; ++at) {
        if (!written[static_cast<size_t>(at)]) {
            continue;
        }
        const int32_t first = at;
        while (at < flash::kImageTop && written[static_cast<size_t>(at) + 1]) {
            ++at;
        }
        result.ranges.append({first, at});
    }

    // The blocks a session sends, with their frames both ways.
    result.blocks = flash::BlocksToSend(image);
    result.lastBlock = flash::kFirstBlock + (result.blocks - 1) * flash::kBlockSize;
    // The data sent is the image from the first block on, and erased flash past the image's top.
    const int32_t end = result.lastBlock + flash::kBlockSize;
    const int32_t inImage = std::min(end, flash::kImageTop + 1);
    const QByteArrayView data(image.data() + flash::kFirstBlock, inImage - flash::kFirstBlock);
    QCryptographicHash sha(QCryptographicHash::Sha256);
    sha.addData(data);
    sha.addData(QByteArray(end - inImage, static_cast<char>(flash::kBlank)));
    result.sha256 = sha.result().toHex();
    // Each block's frame (0x80 0xF6, address and data with each 0x80 doubled, 0x80 0xF7), and its
    // echo; erased flash holds no 0x80.
    const qsizetype eraseFrames = 6 + 5;  // 80 F2 55 AA 80 F3, and 80 F2 FF 80 F3
    qint64 frameBytes = data.count(static_cast<char>(link::kEscape));
    for (int32_t block = flash::kFirstBlock; block < end; block += flash::kBlockSize) {
        const QByteArray address = flash::AddressToBytes(block);
        frameBytes += 4 + address.size() + flash::kBlockSize +
                      address.count(static_cast<char>(link::kEscape));
    }
    result.wireBytes = eraseFrames + 2 * frameBytes;
    result.updateSeconds = link::WireSeconds(result.wireBytes);
    return result;
}

QString Inspection::Text() const {
    QString text;
    for (const QString& message : messages) {
        text += message + QLatin1Char('\n');
    }
    QStringList runs;
    for (const auto& [first, last] : ranges) {
        runs.append(Address(first) + QLatin1Char('-') + Address(last));
    }
    if (!advice.isEmpty()) {
        text += advice + QLatin1Char('\n');
    }
    text += QStringLiteral("Ranges       %1\n")
                .arg(runs.isEmpty() ? QStringLiteral("none") : runs.join(QLatin1String(", ")));
    if (overlappingBytes > 0) {
        text += QStringLiteral(
                    "Overlaps     %1 bytes stored more than once, the first at %2 (the "
                    "last record of an address wins)\n")
                    .arg(overlappingBytes)
                    .arg(Address(firstOverlap));
    }
    const bool erased = programId.isEmpty() || programId.count(QChar(0xFF)) == programId.size();
    text += QStringLiteral("Program ID   %1\n")
                .arg(erased ? QStringLiteral("(none)") : link::Printable(programId));
    if (programmable) {
        text += QStringLiteral("Blocks       %1, %2 to %3\n")
                    .arg(blocks)
                    .arg(Address(flash::kFirstBlock), Address(lastBlock));
        text += QStringLiteral("SHA-256      %1 (the %2 bytes the blocks write)\n")
                    .arg(QString::fromLatin1(sha256))
                    .arg(qint64{blocks} * flash::kBlockSize);
        text += QStringLiteral("Update time  %1 at 19200 baud (%2 bytes on the wire)\n")
                    .arg(Duration(updateSeconds))
                    .arg(wireBytes);
    }
    return text;
}

QJsonObject Inspection::Json() const {
    QJsonArray runs;
    for (const auto& [first, last] : ranges) {
        runs.append(QJsonObject{{QStringLiteral("first"), Address(first)},
                                {QStringLiteral("last"), Address(last)}});
    }
    QJsonObject json{{QStringLiteral("messages"), QJsonArray::fromStringList(messages)},
                     {QStringLiteral("programmable"), programmable},
                     {QStringLiteral("bytesLoaded"), qint64{bytesLoaded}},
                     {QStringLiteral("ranges"), runs},
                     {QStringLiteral("overlappingBytes"), qint64{overlappingBytes}},
                     {QStringLiteral("programId"), programId}};
    if (!advice.isEmpty()) {
        json.insert(QStringLiteral("advice"), advice);
    }
    if (overlappingBytes > 0) {
        json.insert(QStringLiteral("firstOverlap"), Address(firstOverlap));
    }
    if (programmable) {
        json.insert(QStringLiteral("blocks"), blocks);
        json.insert(QStringLiteral("firstBlock"), Address(flash::kFirstBlock));
        json.insert(QStringLiteral("lastBlock"), Address(lastBlock));
        json.insert(QStringLiteral("sha256"), QString::fromLatin1(sha256));
        json.insert(QStringLiteral("wireBytes"), qint64{wireBytes});
        json.insert(QStringLiteral("updateSeconds"), updateSeconds);
    }
    return json;
}

namespace {

int RunInspect(const Request& request, const Context& context) {
    const QString& file = request.common.file;
    auto image = std::make_unique_for_overwrite<flash::FlashImage>();
    const Inspection inspection = Inspect(file, *image);
    if (!inspection.readable) {
        Write(context.err, QStringLiteral("irigctl: cannot read %1: %2\n")
                               .arg(link::PrintableUtf8(file), inspection.readError));
        return kBadFile;
    }
    if (request.common.json) {
        QJsonObject json = inspection.Json();
        json.insert(QStringLiteral("file"), file);
        Write(context.out, JsonLine(json));
    } else {
        Write(context.out, inspection.Text());
    }
    return inspection.programmable ? kDone : kBadFile;
}

}  // namespace

const Command kInspect{
    .name = "inspect",
    .summary = "check a firmware file as Load does, without a unit",
    .description =
        "Reads an Intel HEX file as the window's Load does and shows every faulty line, the bytes\n"
        "loaded, the address ranges present, overlapping records, the blocks Program would send,\n"
        "the program ID, the SHA-256 of the bytes that would be written and how long the update\n"
        "takes at 19200 baud. Anything but a regular file is refused.",
    .options = {Output()},
    .argument = "FILE",
    .argumentHelp = "The firmware, an Intel HEX file.",
    .run = RunInspect,
    // Without the event loop, and so without the application object's start-up (about a
    // millisecond, a tenth of the whole inspection of a full image).
    .eventLoop = false,
};

}  // namespace irig::cli
