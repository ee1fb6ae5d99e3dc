// Text from a unit or a file made safe for a terminal and for one line of a log: nothing in it
// can drive a terminal or start a line of its own.
#pragma once

#include <QByteArrayView>
#include <QString>

namespace irig::link {

// Every byte outside printable ASCII (control characters, DEL, and whatever a terminal might take
// for one) as \xNN, and a backslash as \\.
QString PrintableBytes(QByteArrayView bytes);
// The same of a text from a unit or a file, a character a byte (Latin-1).
QString Printable(const QString& latin1);
// The same of a text from a file or the command line (names, ports, labels): its UTF-8 bytes.
inline QString PrintableUtf8(const QString& text) {
    return PrintableBytes(text.toUtf8());
}

}  // namespace irig::link
