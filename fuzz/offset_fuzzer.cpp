// Hostile offset texts: whatever an operator types (or pastes) into an offset box converts without
// overflow or undefined behaviour to a byte for -23..23, and the request carrying it is well
// formed.
#include <QString>
#include <cmath>
#include <cstdlib>

#include "check.h"
#include "status/requests.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const double value = irig::status::OffsetTextValue(text);
    Check(!std::isnan(value), "a text never reads as NaN");
    const int16_t rounded = irig::status::RoundOffset(value);
    Check(std::fabs(value) > 32767 || std::fabs(rounded - value) <= 0.5,
          "rounding moves by half at most");
    const uint8_t byte = irig::status::OffsetToByte(rounded);
    Check(byte <= 0x17 || byte >= 0xE9, "the byte is an offset from -23 to 23");

    const QByteArray frame = irig::status::SetOffsetsRequest(text, text, true);
    Check(frame.startsWith("\x80\xE2\x02") && frame.endsWith("\x01\x80\xE3"),
          "the request is well formed");
    Check(frame.size() == 8, "offsets from -23 to 23 never need escaping");
    return 0;
}
