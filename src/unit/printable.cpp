#include "unit/printable.h"

#include <QByteArrayView>

namespace irig::unit {

namespace {

QString Escaped(QByteArrayView bytes) {
    QString text;
    text.reserve(bytes.size());
    for (const char byte : bytes) {
        const auto code = static_cast<uint8_t>(byte);
        if (code == '\\') {
            text += QLatin1String("\\\\");
        } else if (code >= 0x20 && code < 0x7F) {
            text += QLatin1Char(byte);
        } else {
            text += QLatin1String("\\x") +
                    QString::number(code, 16).toUpper().rightJustified(2, QLatin1Char('0'));
        }
    }
    return text;
}

}  // namespace

QString Printable(const QString& latin1) {
    return Escaped(latin1.toLatin1());
}

QString PrintableUtf8(const QString& text) {
    return Escaped(text.toUtf8());
}

}  // namespace irig::unit
