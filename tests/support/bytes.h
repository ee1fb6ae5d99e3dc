// Byte strings written as hex in tests: Bytes("80 E0 01 80 E1").
#pragma once

#include <QByteArray>
#include <QString>
#include <ostream>

namespace irig::test {

inline QByteArray Bytes(const char* hex) {
    return QByteArray::fromHex(QByteArray(hex));
}

inline QString Hex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' '));
}

}  // namespace irig::test

// Readable failure messages for QByteArray and QString comparisons.
inline void PrintTo(const QByteArray& bytes, std::ostream* out) {
    *out << bytes.toHex(' ').toStdString();
}
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
