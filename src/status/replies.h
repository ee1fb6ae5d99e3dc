// Decoding the unit's replies: clock, offsets and GPS message replies into the texts the window
// shows. It judges command numbers and payload lengths; putting the texts into controls is the
// view's job, and the flash session's step before it is the exchange's.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <cstdint>
#include <optional>

namespace irig::status {

// The longest GPS message text shown; a real one is a few NMEA sentences.
inline constexpr qsizetype kGpsMessageShown = 4096;

// What one reply changes in the window; an empty field leaves its control as it was.
struct StatusView {
    std::optional<QString> source;
    std::optional<QString> time;
    std::optional<QString> date;
    std::optional<QString> version;
    std::optional<QString> irigOffset;
    std::optional<QString> gpsOffset;
    std::optional<bool> ieee1344;
    std::optional<QString> gpsMessage;

    bool Empty() const {
        return !source && !time && !date && !version && !irigOffset && !gpsOffset && !ieee1344 &&
               !gpsMessage;
    }
};

// What a reply with this end code and payload shows; empty for anything but an accepted reply.
// A GPS message is cut to its first kGpsMessageShown characters.
StatusView DecodeReply(int16_t code, const QByteArray& payload);

// A clock reply read as values: the unit's date and time as it sent them, and its source code.
struct ClockReading {
    uint8_t source = 0;
    int year = 0;  // the two year bytes as they came, uncapped
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    std::optional<uint8_t> version;  // read replies carry it, set replies do not

    // The local date and time the unit stands at; invalid for a date or time that cannot be
    // (month 13, 25 o'clock).
    QDateTime DateTime() const;
    // "MM/dd/yyyy HH:mm:ss" of the values as sent, also of an impossible date.
    QString Text() const;
};

// The clock of an accepted clock reply (a read reply of 10 bytes, a set reply of 9); nothing for
// any other payload.
std::optional<ClockReading> ReadClock(int16_t code, const QByteArray& payload);

// An offsets reply read as values: whole hours, signed, and the IEEE 1344 flag.
struct OffsetsReading {
    int irig = 0;
    int gps = 0;
    bool ieee1344 = false;
};

// The offsets of an accepted offsets reply (a read or a set reply of 4 bytes); nothing for any
// other payload.
std::optional<OffsetsReading> ReadOffsets(int16_t code, const QByteArray& payload);

int16_t MinOf(int16_t a, int16_t b);

// The text formats of the status display.
QString TwoDigits(uint8_t value);             // 7 -> "07", 123 -> "23"
QString YearText(uint8_t low, uint8_t high);  // high byte capped at 20; four digits
QString VersionText(uint8_t tenths);          // "#0.0" with the locale's decimal separator
QString OffsetText(uint8_t offset);           // signed; a blank before zero or more
QString SourceCaption(int16_t endCode, uint8_t source);

}  // namespace irig::status
