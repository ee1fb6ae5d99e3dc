// A firmware file as a vendor's tools would make it: random bytes placed at 0x4000 and written as
// Intel HEX by GNU objcopy.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <random>

namespace irig::test {

struct FirmwareFile {
    QByteArray bytes;  // what belongs at 0x4000 and up
    QString path;      // the .hex file; empty if it could not be made
};

inline FirmwareFile MakeFirmwareFile(const QString& folder, qsizetype size, unsigned seed) {
    FirmwareFile firmware;
    std::mt19937 random(seed);
    firmware.bytes.resize(size);
    for (char& byte : firmware.bytes) {
        byte = static_cast<char>(random());
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
                           QStringLiteral("0x4000"), binary, hex}) == 0) {
        firmware.path = hex;
    }
    return firmware;
}

}  // namespace irig::test
