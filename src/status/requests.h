// The requests that read and change the unit's settings, as complete frames ready to send, and the
// conversion of an operator's offset text into the byte the unit takes.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QStringView>
#include <cstdint>

namespace irig::status {

QByteArray StatusRequest();  // the 500 ms poll: clock, source and version
QByteArray RetrieveOffsetsRequest();
QByteArray RetrieveGpsMessageRequest();

// Sets the unit's clock to `localNow`, one reading of the host's local clock.
QByteArray SetTimeRequest(const QDateTime& localNow);

// Sets both offsets, converted from the operator's texts, and the IEEE 1344 flag.
QByteArray SetOffsetsRequest(QStringView irigText, QStringView gpsText, bool ieee1344);
// Sets both offsets in whole hours (clamped to -23..23) and the IEEE 1344 flag.
QByteArray SetOffsetsRequest(int16_t irigHours, int16_t gpsHours, bool ieee1344);

// The number an offset text starts with. Blanks, tabs and line feeds anywhere are ignored; then a
// sign, digits, a full stop as decimal point (whatever the locale) and an exponent are read as far
// as they go; "&H" and "&O" start hexadecimal and octal numbers. No number gives 0; a number too
// large for a double gives an infinity.
double OffsetTextValue(QStringView text);

// Rounds half to even into the 16-bit range, clamping what lies beyond it.
int16_t RoundOffset(double value);

// An offset as the unit's signed byte, clamped to -23..23.
uint8_t OffsetToByte(int16_t offset);

}  // namespace irig::status
