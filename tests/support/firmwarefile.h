// A firmware file as a vendor's tools would make it: random bytes placed at 0x4000 (or another
// base) and written as Intel HEX by GNU objcopy.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <random>

namespace irig::test {

// Writes `content` to `path`; returns the path, or nothing if the file could not be written.
inline QString WriteFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() ? path
                                                                                    : QString();
}

struct FirmwareFile {
    QByteArray bytes;  // what belongs at the base and up
    QString path;      // the .hex file; empty if it could not be made
};

// The same records with each segment address record (type 02, written by objcopy below 1 MB) that
// names a multiple of 64 KB turned into the linear address record (type 04) of the same base.
inline QByteArray WithLinearAddressRecords(const QByteArray& hex) {
    QByteArray out;
    for (const QByteArray& line : hex.split('\n')) {
        const QByteArray record = line.trimmed();
        if (record.startsWith(":02000002") && record.mid(10, 3) == "000") {
            const int upper = QByteArray(1, record[9]).toInt(nullptr, 16);
            const int sum = 0x02 + 0x04 + upper;
            out += QByteArray(":02000004000") + record[9] +
                   QByteArray::number(0x100 + ((0x100 - sum) & 0xFF), 16).right(2).toUpper() +
                   "\r\n";
        } else if (!record.isEmpty()) {
            out += record + "\r\n";
        }
    }
    return out;
}

// `size` random bytes from `base` up; with `programId`, that text (and its 0x00) at 0x4168, where
// the image carries its program ID.
inline FirmwareFile MakeFirmwareFile(const QString& folder, qsizetype size, unsigned seed,
                                     uint32_t base = 0x4000, const QByteArray& programId = {}) {
    FirmwareFile firmware;
    std::mt19937 random(seed);
    firmware.bytes.resize(size);
    for (char& byte : firmware.bytes) {
        byte = static_cast<char>(random());
    }
    const qsizetype idAt = qsizetype{0x4168} - base;
    if (!programId.isEmpty() && idAt >= 0 && idAt + programId.size() < size) {
        firmware.bytes.replace(idAt, programId.size() + 1, programId + '\0');
    }
    const QString binary = folder + QStringLiteral("/firmware-%1.bin").arg(seed);
    QFile file(binary);
    if (!file.open(QIODevice::WriteOnly) || file.write(firmware.bytes) != size) {
        return firmware;
    }
    file.close();
    const QString hex = folder + QStringLiteral("/firmware-%1.hex").arg(seed);
    if (QProcess::execute(QStringLiteral("objcopy"),
                          {QStringLiteral("-I"), QStringLiteral("binary"), QStringLiteral("-O"),
                           QStringLiteral("ihex"), QStringLiteral("--change-addresses"),
                           QStringLiteral("0x%1").arg(base, 0, 16), binary, hex}) == 0) {
        firmware.path = hex;
    }
    return firmware;
}

}  // namespace irig::test
