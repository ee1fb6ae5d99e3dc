// What a unit's flash holds after a whole update: the firmware at its base, erased flash elsewhere.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>

#include "support/firmwarefile.h"

namespace irig::test {

// `flash` (the simulated unit's 0x20080 bytes) holds `firmware` at `base`, and 0xFF where no data
// went.
inline void ExpectFlashHolds(const QByteArray& flash, const FirmwareFile& firmware,
                             int base = 0x4000) {
    ASSERT_EQ(flash.size(), 0x20080);
    EXPECT_EQ(flash.left(base), QByteArray(base, '\xFF'));
    EXPECT_TRUE(flash.mid(base, firmware.bytes.size()) == firmware.bytes);
    EXPECT_EQ(flash.mid(base + firmware.bytes.size()),
              QByteArray(0x20080 - base - firmware.bytes.size(), '\xFF'));
}

}  // namespace irig::test
