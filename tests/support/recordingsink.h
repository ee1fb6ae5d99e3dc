// Records what the receive state machine calls back with: for each end code the code and the
// payload it sees, for each stand-alone code the code alone. Texts() reads them as "end e1 [01 02]"
// and "single f0". A sender that empties the buffer is played by `empties`, asked with each end
// code's payload.
#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <functional>

#include "link/framecodec.h"
#include "support/bytes.h"

namespace irig::test {

class RecordingSink final : public link::FrameReceiver::Sink {
public:
    using Empties = std::function<bool(const QByteArray& payload)>;

    explicit RecordingSink(link::FrameReceiver& rx, Empties empties = {})
        : rx_(rx), empties_(std::move(empties)) {}

    void EndCode(int16_t code) override {
        events.append(static_cast<char>(code) + rx_.strRxData);
        if (empties_ && empties_(rx_.strRxData)) {
            rx_.Empty();
        }
    }
    void SingleCode(int16_t code) override {
        events.append(QByteArray(1, static_cast<char>(code)));
    }

    QStringList Texts() const {
        QStringList texts;
        for (const QByteArray& event : events) {
            const auto code = static_cast<uint8_t>(event[0]);
            texts.append(
                code == link::code::kReBoot || code == link::code::kFlashMode
                    ? QStringLiteral("single %1").arg(code, 0, 16)
                    : QStringLiteral("end %1 [%2]").arg(code, 0, 16).arg(Hex(event.mid(1))));
        }
        return texts;
    }

    QList<QByteArray> events;  // the code's byte, then the payload at an end code

private:
    link::FrameReceiver& rx_;
    Empties empties_;
};

}  // namespace irig::test
