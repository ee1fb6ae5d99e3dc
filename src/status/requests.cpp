#include "status/requests.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "link/framecodec.h"

namespace irig::status {

namespace {

constexpr char kClock = link::command::kClock;
constexpr char kOffsets = link::command::kOffsets;
constexpr char kGpsMessage = link::command::kGpsMessage;
constexpr int kLargestOffset = 23;

QByteArray ReadRequest(char command) {
    return link::Frame(link::code::kStartRead, QByteArray(1, command));
}

// Digits in the given base as far as they go; a double never overflows, it becomes infinite.
double ReadInteger(const std::string& text, size_t from, int base) {
    double value = 0;
    for (size_t i = from; i < text.size(); ++i) {
        const char c = text[i];
        int digit = base;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        }
        if (digit >= base) {
            break;
        }
        value = value * base + digit;
    }
    return value;
}

bool IsDigit(const std::string& text, size_t i) {
    return i < text.size() && text[i] >= '0' && text[i] <= '9';
}

}  // namespace

QByteArray StatusRequest() {
    return ReadRequest(kClock);
}

QByteArray RetrieveOffsetsRequest() {
    return ReadRequest(kOffsets);
}

QByteArray RetrieveGpsMessageRequest() {
    return ReadRequest(kGpsMessage);
}

QByteArray SetTimeRequest(const QDateTime& localNow) {
    const QDate date = localNow.date();
    const QTime time = localNow.time();
    const int year = date.year();
    const char payload[] = {kClock,
                            0x00,
                            static_cast<char>(year & 0xFF),
                            static_cast<char>((year >> 8) & 0xFF),
                            static_cast<char>(date.month()),
                            static_cast<char>(date.day()),
                            static_cast<char>(time.hour()),
                            static_cast<char>(time.minute()),
                            static_cast<char>(time.second())};
    return link::Frame(link::code::kStartSet, QByteArray(payload, sizeof payload));
}

QByteArray SetOffsetsRequest(QStringView irigText, QStringView gpsText, bool ieee1344) {
    return SetOffsetsRequest(RoundOffset(OffsetTextValue(irigText)),
                             RoundOffset(OffsetTextValue(gpsText)), ieee1344);
}

QByteArray SetOffsetsRequest(int16_t irigHours, int16_t gpsHours, bool ieee1344) {
    const char payload[] = {kOffsets, static_cast<char>(OffsetToByte(irigHours)),
                            static_cast<char>(OffsetToByte(gpsHours)),
                            static_cast<char>(ieee1344 ? 0x01 : 0x00)};
    return link::Frame(link::code::kStartSet, QByteArray(payload, sizeof payload));
}

double OffsetTextValue(QStringView text) {
    std::string s;
    s.reserve(text.size());
    for (const QChar c : text) {
        if (c == u' ' || c == u'\t' || c == u'\n') {
            continue;
        }
        // Only ASCII can be part of a number; anything else ends it.
        s.push_back(c.unicode() < 0x80 ? static_cast<char>(c.unicode()) : '\x7F');
    }
    if (s.size() >= 2 && s[0] == '&' && (s[1] == 'H' || s[1] == 'h')) {
        return ReadInteger(s, 2, 16);
    }
    if (s.size() >= 2 && s[0] == '&' && (s[1] == 'O' || s[1] == 'o')) {
        return ReadInteger(s, 2, 8);
    }

    size_t i = 0;
    std::string number;
    const bool negative = i < s.size() && s[i] == '-';
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        ++i;
    }
    // The decimal magnitude (digits before the point, less leading zeros after it) tells an
    // overflow from an underflow when the number does not fit a double.
    int magnitude = 0;
    bool significant = false;
    while (IsDigit(s, i)) {
        significant = significant || s[i] != '0';
        magnitude += significant ? 1 : 0;
        number.push_back(s[i++]);
    }
    if (i < s.size() && s[i] == '.') {
        number.push_back(s[i++]);
        while (IsDigit(s, i)) {
            if (!significant && s[i] == '0') {
                --magnitude;
            }
            significant = significant || s[i] != '0';
            number.push_back(s[i++]);
        }
    }
    if (number.empty() || number == ".") {
        return 0;
    }
    // An exponent counts only with at least one digit: "7e" is 7.
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        const bool negativeExponent = j < s.size() && s[j] == '-';
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) {
            ++j;
        }
        if (IsDigit(s, j)) {
            // Beyond a million the exponent only says "infinite" or "zero".
            int exponent = 0;
            for (; IsDigit(s, j); ++j) {
                exponent = std::min(exponent * 10 + (s[j] - '0'), 1'000'000);
            }
            number += negativeExponent ? "e-" : "e";
            number += std::to_string(exponent);
            magnitude += negativeExponent ? -exponent : exponent;
        }
    }
    double value = 0;
    const std::from_chars_result read =
        std::from_chars(number.data(), number.data() + number.size(), value);
    if (read.ec == std::errc::result_out_of_range) {
        value = significant && magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return negative ? -value : value;
}

int16_t RoundOffset(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    const double rounded = std::nearbyint(value);  // the default rounding mode: half to even
    return static_cast<int16_t>(std::clamp(rounded, double{std::numeric_limits<int16_t>::min()},
                                           double{std::numeric_limits<int16_t>::max()}));
}

uint8_t OffsetToByte(int16_t offset) {
    const int clamped = std::clamp<int>(offset, -kLargestOffset, kLargestOffset);
    return static_cast<uint8_t>(clamped < 0 ? clamped + 256 : clamped);
}

}  // namespace irig::status
