#include "flash/session.h"

#include "link/framecodec.h"

namespace irig::flash {

namespace {

constexpr uint8_t kEraseDone = 0xFF;

}  // namespace

QByteArray AddressToBytes(int32_t address) {
    const char bytes[] = {static_cast<char>(address & 0xFF),
                          static_cast<char>((address >> 8) & 0xFF),
                          static_cast<char>((address >> 16) & 0xFF), 0x00};
    return QByteArray(bytes, sizeof bytes);
}

FlashSession::Step FlashSession::Program(const FlashImage& image) {
    lngFlashEnd = kImageTop;
    while (lngFlashEnd >= 0 && image[lngFlashEnd] == kBlank) {
        --lngFlashEnd;
    }
    lngFlashEnd += kBlockSize;
    intFlashState = kErasePending;
    lngFlashAddress = kFirstBlock;

    Step step;
    step.log.append(QStringLiteral("Erasing flash memory"));
    step.frame = link::Frame(link::code::kStartErase, QByteArray("\x55\xAA", 2));
    step.progress = 0;
    step.barVisible = true;
    return step;
}

FlashSession::Step FlashSession::FlashStep(int16_t code, const QByteArray& strRxData,
                                           const FlashImage& image) {
    Step step;
    if (intFlashState == kErasePending) {
        if (code == link::code::kEndErase && strRxData.size() == 1 &&
            static_cast<uint8_t>(strRxData[0]) == kEraseDone) {
            step.log = {QStringLiteral("Erase Flash memory complete"),
                        QStringLiteral("Programming flash memory")};
            step.frame = SendBlock(image);
            intFlashState = kProgramming;
        } else {
            step.log.append(QStringLiteral("Erase Flash memory failed"));
            step.ended = true;
            intFlashState = kIdle;
        }
    } else if (intFlashState == kProgramming && strRxData == strFlashBlock) {
        if (lngFlashAddress >= lngFlashEnd) {
            step.log.append(QStringLiteral("Programming complete"));
            step.barVisible = false;
            step.ended = true;
        } else {
            step.progress = static_cast<float>(static_cast<double>(lngFlashAddress - kFirstBlock) /
                                               (lngFlashEnd - kFirstBlock) * 100);
            step.frame = SendBlock(image);
        }
    }
    return step;
}

QByteArray FlashSession::SendBlock(const FlashImage& image) {
    strFlashBlock = AddressToBytes(lngFlashAddress);
    for (int32_t offset = lngFlashAddress; offset < lngFlashAddress + kBlockSize; ++offset) {
        // The top block starts at the image's last byte; erased flash stands in for the rest.
        strFlashBlock.append(static_cast<char>(offset <= kImageTop ? image[offset] : kBlank));
    }
    lngFlashAddress += kBlockSize;
    return link::Frame(link::code::kStartBlock, strFlashBlock);
}

}  // namespace irig::flash
