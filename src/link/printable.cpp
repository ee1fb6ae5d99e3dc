#include "link/printable.h"

namespace irig::link {

QString PrintableBytes(QByteArrayView bytes) {
    QString text;
    text.reserve(bytes.size());
    for (const char byte : bytes) {
        const auto code = static_cast<unsigned char>(byte);
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

QString Printable(const QString& latin1) {
    return PrintableBytes(latin1.toLatin1());
}

}  // namespace irig::link
