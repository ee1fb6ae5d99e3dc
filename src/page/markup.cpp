#include "page/markup.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace irig::page {

Out& Out::Html(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    qsizetype plain = 0;  // where the characters not yet written start, none of them to escape
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        const char* escaped = nullptr;
        switch (utf8[i]) {
            case '&':
                escaped = "&amp;";
                break;
            case '<':
                escaped = "&lt;";
                break;
            case '>':
                escaped = "&gt;";
                break;
            case '"':
                escaped = "&quot;";
                break;
            case '\'':
                escaped = "&#39;";
                break;
            default:
                continue;
        }
        bytes.append(utf8.constData() + plain, i - plain);
        bytes.append(escaped);
        plain = i + 1;
    }
    bytes.append(utf8.constData() + plain, utf8.size() - plain);
    return *this;
}

Out& Out::Json(const QString& text) {
    bytes += '"';
    for (const char c : text.toUtf8()) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            bytes += '\\';
            bytes += c;
        } else if (byte < 0x20 || c == '<' || c == '>' || c == '&') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            bytes += escaped;
        } else {
            bytes += c;
        }
    }
    bytes += '"';
    return *this;
}

Out& Out::Integer(qint64 value) {
    char digits[24];
    const auto end = std::to_chars(std::begin(digits), std::end(digits), value).ptr;
    bytes.append(digits, end - digits);
    return *this;
}

Out& Out::Number(double value, int decimals) {
    if (!std::isfinite(value)) {
        value = 0;
    }
    if (decimals == 1) {
        char digits[32];
        bytes.append(digits, PutTenths(digits, value) - digits);
        return *this;
    }
    char digits[64];
    const auto end = std::to_chars(std::begin(digits), std::end(digits), value,
                                   std::chars_format::fixed, decimals)
                         .ptr;
    bytes.append(digits, end - digits);
    return *this;
}

Out& Out::Maybe(const std::optional<qint64>& value) {
    return value ? Integer(*value) : *this << "null";
}

Out& Out::Maybe(const std::optional<double>& value) {
    return value && std::isfinite(*value) ? Number(*value, 3) : *this << "null";
}

char* Put(char* at, qint64 value) {
    return std::to_chars(at, at + 24, value).ptr;
}

char* PutTenths(char* at, double value) {
    const double scaled = std::isfinite(value) ? std::clamp(value, -1e15, 1e15) * 10 : 0;
    const auto tenths = static_cast<qint64>(scaled < 0 ? scaled - 0.5 : scaled + 0.5);
    if (tenths < 0) {
        *at++ = '-';
    }
    at = Put(at, std::abs(tenths) / 10);
    *at++ = '.';
    *at++ = static_cast<char>('0' + std::abs(tenths) % 10);
    return at;
}

QByteArray Utc(qint64 ms) {
    using namespace std::chrono;
    const sys_time<milliseconds> at{milliseconds(ms)};
    const auto day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss time{floor<seconds>(at - day)};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

QString Signed(qint64 ms) {
    return (ms > 0 ? QStringLiteral("+") : QString()) + QString::number(ms) + QStringLiteral(" ms");
}

const char* StateWord(State state) {
    static const char* const kWords[] = {"up", "down", "lent"};
    return kWords[static_cast<int>(state)];
}

QString OffsetWords(const Unit& unit) {
    if (!unit.offsetMs) {
        return QStringLiteral("not measured");
    }
    return unit.uncertaintyMs
               ? QStringLiteral("%1 ± %2 ms").arg(Signed(*unit.offsetMs)).arg(*unit.uncertaintyMs)
               : Signed(*unit.offsetMs);
}

QString DiagnosisWords(const Unit& unit) {
    if (!unit.diagnosis) {
        return QStringLiteral("not diagnosed");
    }
    return unit.diagnosis->text.isEmpty() ? unit.diagnosis->kind : unit.diagnosis->text;
}

QString DriftWords(const Unit& unit) {
    if (!unit.driftText.isEmpty()) {
        return unit.driftText;
    }
    return unit.driftPpm ? QStringLiteral("%1 ppm").arg(*unit.driftPpm, 0, 'f', 3)
                         : QStringLiteral("not known yet");
}

QString LeaseWords(const Unit& unit) {
    if (!unit.lease) {
        return unit.state == State::kLent ? QStringLiteral("lent") : QStringLiteral("not lent");
    }
    return QStringLiteral("lent to %1 until %2")
        .arg(unit.lease->by, QString::fromLatin1(Utc(unit.lease->untilMs)));
}

QString LabelWords(const Unit& unit) {
    QStringList words;
    for (auto label = unit.labels.cbegin(); label != unit.labels.cend(); ++label) {
        words.append(label.key() + QLatin1Char('=') + label.value());
    }
    return words.join(QStringLiteral(", "));
}

}  // namespace irig::page
