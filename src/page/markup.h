// What the page's renderers share: a byte buffer written with every text escaped for HTML or JSON,
// numbers without the locale, times in ISO 8601 UTC, and a unit's figures in words.
#pragma once

#include <QByteArray>
#include <QString>
#include <algorithm>

#include "page/page.h"

namespace irig::page {

struct Out {
    QByteArray bytes;

    Out& operator<<(const char* raw) {
        bytes += raw;
        return *this;
    }
    Out& operator<<(const QByteArray& raw) {
        bytes += raw;
        return *this;
    }
    // Escaped for HTML text and attribute values alike.
    Out& Html(const QString& text);
    // A JSON string, quotes included.
    Out& Json(const QString& text);
    Out& Integer(qint64 value);
    // At most `decimals` digits after the point; never NaN (0 for it).
    Out& Number(double value, int decimals = 1);
    // JSON: the number, or null.
    Out& Maybe(const std::optional<qint64>& value);
    Out& Maybe(const std::optional<double>& value);
};

// Writers into a caller's buffer, for what a page has hundreds of thousands of (a measurement, a
// point): each returns where it stopped. `at` must have room for 24 characters more.
char* Put(char* at, qint64 value);
// In tenths: "12.3", "-0.5"; 0 for NaN, clamped to ±1e15.
char* PutTenths(char* at, double value);
template <size_t N>
char* Put(char* at, const char (&text)[N]) {
    return std::copy(text, text + N - 1, at);
}

// "2026-12-09T04:59:12Z".
QByteArray Utc(qint64 ms);
// "+137 ms", "-2500 ms", "0 ms".
QString Signed(qint64 ms);
const char* StateWord(State state);

// The cells' words: what is shown when the figure is known, and when it is not.
QString OffsetWords(const Unit& unit);
QString DiagnosisWords(const Unit& unit);
QString DriftWords(const Unit& unit);
QString LeaseWords(const Unit& unit);
QString LabelWords(const Unit& unit);

}  // namespace irig::page
