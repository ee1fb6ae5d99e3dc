// Intel HEX records written by tests, with a correct checksum unless told otherwise.
#pragma once

#include <QByteArray>
#include <cstdint>
#include <initializer_list>

namespace irig::test {

inline QByteArray Record(uint8_t type, uint16_t offset, const QByteArray& data,
                         int checksumError = 0) {
    QByteArray bytes;
    bytes.append(static_cast<char>(data.size()));
    bytes.append(static_cast<char>(offset >> 8)).append(static_cast<char>(offset & 0xFF));
    bytes.append(static_cast<char>(type)).append(data);
    uint8_t sum = 0;
    for (const char b : bytes) {
        sum += static_cast<uint8_t>(b);
    }
    bytes.append(static_cast<char>(static_cast<uint8_t>(-sum) + checksumError));
    return ':' + bytes.toHex().toUpper();
}

inline QByteArray DataRecord(uint16_t offset, const QByteArray& data) {
    return Record(0x00, offset, data);
}

inline QByteArray SegmentRecord(uint16_t segment) {
    return Record(
        0x02, 0,
        QByteArray(1, static_cast<char>(segment >> 8)) + static_cast<char>(segment & 0xFF));
}

inline QByteArray LinearRecord(uint16_t upper) {
    return Record(0x04, 0,
                  QByteArray(1, static_cast<char>(upper >> 8)) + static_cast<char>(upper & 0xFF));
}

inline QByteArray EndRecord() {
    return Record(0x01, 0, {});
}

// Lines joined with a line end after each.
inline QByteArray Lines(std::initializer_list<QByteArray> lines, const char* end = "\r\n") {
    QByteArray content;
    for (const QByteArray& line : lines) {
        content += line + end;
    }
    return content;
}

}  // namespace irig::test
