// The reply dispatcher: gives the flash session its step at every end code, then decodes clock,
// offsets and GPS message replies into the texts the window shows. It judges command numbers and
// payload lengths; putting the texts into controls is the window's job.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

namespace irig::status {

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

// Runs flashStep(code) first, then decodes strRxData as it is after that step (the step may have
// sent a frame and so emptied it). strRxData is read, never changed, here.
StatusView ProcessFrame(int16_t code, const QByteArray& strRxData,
                        const std::function<void(int16_t)>& flashStep);

int16_t MinOf(int16_t a, int16_t b);

// The text formats of the status display.
QString TwoDigits(uint8_t value);             // 7 -> "07", 123 -> "23"
QString YearText(uint8_t low, uint8_t high);  // high byte capped at 20; four digits
QString VersionText(uint8_t tenths);          // "#0.0" with the locale's decimal separator
QString OffsetText(uint8_t offset);           // signed; a blank before zero or more
QString SourceCaption(int16_t endCode, uint8_t source);

}  // namespace irig::status
