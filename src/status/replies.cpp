#include "status/replies.h"

#include <QLocale>

#include "link/framecodec.h"

namespace irig::status {

namespace {

using link::command::kClock;
using link::command::kGpsMessage;
using link::command::kOffsets;

uint8_t At(const QByteArray& payload, int position) {  // positions count from 1
    return static_cast<uint8_t>(payload[position - 1]);
}

void DecodeClock(int16_t code, const QByteArray& payload, StatusView& view) {
    view.source = SourceCaption(code, At(payload, 2));
    view.time = TwoDigits(At(payload, 7)) + QLatin1Char(':') + TwoDigits(At(payload, 8)) +
                QLatin1Char(':') + TwoDigits(At(payload, 9));
    view.date = TwoDigits(At(payload, 5)) + QLatin1Char('/') + TwoDigits(At(payload, 6)) +
                QLatin1Char('/') + YearText(At(payload, 3), At(payload, 4));
}

void DecodeOffsets(const QByteArray& payload, StatusView& view) {
    view.irigOffset = OffsetText(At(payload, 2));
    view.gpsOffset = OffsetText(At(payload, 3));
    view.ieee1344 = At(payload, 4) != 0x00;
}

}  // namespace

StatusView DecodeReply(int16_t code, const QByteArray& strRxData) {
    StatusView view;
    if (strRxData.isEmpty()) {
        return view;
    }
    const uint8_t command = At(strRxData, 1);
    const qsizetype length = strRxData.size();
    if (code == link::code::kEndRead) {
        if (command == kClock && length == link::length::kClockRead) {
            DecodeClock(code, strRxData, view);
            view.version = VersionText(At(strRxData, 10));
        } else if (command == kOffsets && length == link::length::kOffsets) {
            DecodeOffsets(strRxData, view);
        } else if (command == kGpsMessage) {
            view.gpsMessage = QString::fromLatin1(strRxData.mid(1, kGpsMessageShown));
        }
    } else if (code == link::code::kEndSet) {
        if (command == kClock && length == link::length::kClockSet) {
            DecodeClock(code, strRxData, view);
        } else if (command == kOffsets && length == link::length::kOffsets) {
            DecodeOffsets(strRxData, view);
        }
    }
    return view;
}

std::optional<ClockReading> ReadClock(int16_t code, const QByteArray& payload) {
    const bool read = code == link::code::kEndRead && payload.size() == link::length::kClockRead;
    const bool set = code == link::code::kEndSet && payload.size() == link::length::kClockSet;
    if ((!read && !set) || At(payload, 1) != kClock) {
        return std::nullopt;
    }
    ClockReading clock;
    clock.source = At(payload, 2);
    clock.year = At(payload, 4) << 8 | At(payload, 3);
    clock.month = At(payload, 5);
    clock.day = At(payload, 6);
    clock.hour = At(payload, 7);
    clock.minute = At(payload, 8);
    clock.second = At(payload, 9);
    if (read) {
        clock.version = At(payload, 10);
    }
    return clock;
}

QDateTime ClockReading::DateTime() const {
    const QDate date(year, month, day);
    const QTime time(hour, minute, second);
    return date.isValid() && time.isValid() ? QDateTime(date, time) : QDateTime();
}

QString ClockReading::Text() const {
    return QStringLiteral("%1/%2/%3 %4:%5:%6")
        .arg(month, 2, 10, QLatin1Char('0'))
        .arg(day, 2, 10, QLatin1Char('0'))
        .arg(year, 4, 10, QLatin1Char('0'))
        .arg(hour, 2, 10, QLatin1Char('0'))
        .arg(minute, 2, 10, QLatin1Char('0'))
        .arg(second, 2, 10, QLatin1Char('0'));
}

std::optional<OffsetsReading> ReadOffsets(int16_t code, const QByteArray& payload) {
    if ((code != link::code::kEndRead && code != link::code::kEndSet) ||
        payload.size() != link::length::kOffsets || At(payload, 1) != kOffsets) {
        return std::nullopt;
    }
    return OffsetsReading{static_cast<int8_t>(At(payload, 2)), static_cast<int8_t>(At(payload, 3)),
                          At(payload, 4) != 0x00};
}

int16_t MinOf(int16_t a, int16_t b) {
    return a < b ? a : b;
}

namespace {

// The last `count` decimal digits of a non-negative number, zeros in front: the text of the number
// with as many zeros put before it, of which the last `count` characters are taken.
QString LastDigits(int number, int count) {
    QString digits(count, QLatin1Char('0'));
    for (int i = count - 1; i >= 0 && number > 0; --i, number /= 10) {
        digits[i] = QLatin1Char(static_cast<char>('0' + number % 10));
    }
    return digits;
}

}  // namespace

QString TwoDigits(uint8_t value) {
    return LastDigits(value, 2);
}

QString YearText(uint8_t low, uint8_t high) {
    const auto year = static_cast<int16_t>(MinOf(high, 20) * 256 + low);
    return LastDigits(year, 4);
}

QString VersionText(uint8_t tenths) {
    return QString::number(tenths / 10) + QLocale().decimalPoint() + QString::number(tenths % 10);
}

QString OffsetText(uint8_t offset) {
    const int value = offset > 127 ? offset - 256 : offset;
    return value >= 0 ? QLatin1Char(' ') + QString::number(value) : QString::number(value);
}

QString SourceCaption(int16_t endCode, uint8_t source) {
    const bool readReply = endCode == link::code::kEndRead;
    // A set reply gives the GPS and IRIG-B codes the other way round.
    switch (source) {
        case link::source::kInternalCrystal:
            return QStringLiteral("Internal Crystal");
        case link::source::kGps:
            return readReply ? QStringLiteral("GPS") : QStringLiteral("IRIG-B");
        case link::source::kIrigB:
            return readReply ? QStringLiteral("IRIG-B") : QStringLiteral("GPS");
        case link::source::kIrigBBad:
            return readReply ? QStringLiteral("IRIG-B Bad") : QString();
        default:
            return {};
    }
}

}  // namespace irig::status
