#include "link/framecodec.h"

#include <cstring>

namespace irig::link {

namespace {

bool IsStartCode(uint8_t b) {
    return b == code::kStartRead || b == code::kStartSet || b == code::kStartErase ||
           b == code::kStartBlock;
}

bool IsEndCode(uint8_t b) {
    return b == code::kEndRead || b == code::kEndSet || b == code::kEndErase ||
           b == code::kEndBlock;
}

}  // namespace

QByteArray EscapeBytes(const QByteArray& data) {
    QByteArray escaped;
    escaped.reserve(data.size() + data.count(static_cast<char>(kEscape)));
    // Runs up to and including each escape byte, then the escape byte once more.
    const char* next = data.constData();
    const char* const end = next + data.size();
    while (next != end) {
        const auto* escape = static_cast<const char*>(std::memchr(next, kEscape, end - next));
        const char* runEnd = escape != nullptr ? escape + 1 : end;
        escaped.append(next, runEnd - next);
        if (escape != nullptr) {
            escaped.append(static_cast<char>(kEscape));
        }
        next = runEnd;
    }
    return escaped;
}

QByteArray Frame(uint8_t startCode, const QByteArray& payload) {
    QByteArray frame;
    frame.reserve(payload.size() + 4);
    frame.append(static_cast<char>(kEscape)).append(static_cast<char>(startCode));
    frame.append(EscapeBytes(payload));
    frame.append(static_cast<char>(kEscape)).append(static_cast<char>(startCode + 1));
    return frame;
}

QByteArray SingleCode(uint8_t code) {
    return QByteArray(1, static_cast<char>(kEscape)).append(static_cast<char>(code));
}

void FrameReceiver::Append(const char* bytes, qsizetype size) {
    if (blnRxOverflow) {
        return;
    }
    if (size > kMaxPayload - strRxData.size()) {
        strRxData.clear();
        blnRxOverflow = true;
        return;
    }
    strRxData.append(bytes, size);
}

void FrameReceiver::Feed(QByteArrayView bytes, Sink& sink) {
    const char* next = bytes.data();
    const char* const end = next + bytes.size();
    while (next != end) {
        if (!blnRxEscape) {
            // Data bytes up to the next escape go in as one run.
            const auto* escape = static_cast<const char*>(std::memchr(next, kEscape, end - next));
            const char* runEnd = escape != nullptr ? escape : end;
            Append(next, runEnd - next);
            next = runEnd;
            if (escape != nullptr) {
                blnRxEscape = true;
                ++next;
            }
            continue;
        }
        const auto b = static_cast<uint8_t>(*next++);
        if (b == kEscape) {
            const char escape = static_cast<char>(kEscape);
            Append(&escape, 1);
        } else if (IsStartCode(b)) {
            intRxCode = b;
            Empty();
        } else if (IsEndCode(b)) {
            intRxCode = b;
            if (blnRxOverflow) {
                blnRxOverflow = false;  // the end of the dropped frame
                sink.Dropped(intRxCode);
            } else {
                sink.EndCode(intRxCode);
            }
        } else if (b == code::kReBoot || b == code::kFlashMode) {
            intRxCode = b;
            sink.SingleCode(intRxCode);
        }
        blnRxEscape = false;
    }
}

}  // namespace irig::link
