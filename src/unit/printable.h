// Text from a unit or a file made safe for a terminal and for a line of the record: every byte
// outside printable ASCII (control characters, DEL, and whatever a terminal might take for one)
// as \xNN, and a backslash as \\. One change or one result is then always one whole line.
#pragma once

#include <QString>

namespace irig::unit {

// Text a unit sent, one character a byte (Latin-1).
QString Printable(const QString& latin1);
// Text from a file or the command line (names, ports, labels, file names): its UTF-8 bytes.
QString PrintableUtf8(const QString& text);

}  // namespace irig::unit
