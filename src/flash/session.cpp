#include "flash/session.h"

#include <algorithm>

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

int32_t ProgramEnd(const FlashImage& image) {
    return LastData(image) + kBlockSize;
}

int32_t BlocksToSend(const FlashImage& image) {
    const int32_t end = ProgramEnd(image);
    return end <= kFirstBlock ? 1 : (end - kFirstBlock + kBlockSize - 1) / kBlockSize;
}

QString MinutesSeconds(qint64 milliseconds) {
    const qint64 seconds = milliseconds / 1000;
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

FlashSession::Step FlashSession::Program(const FlashImage& image) {
    lngFlashEnd = ProgramEnd(image);
    intFlashState = kErasePending;
    lngFlashAddress = kFirstBlock;
    complete_ = false;

    Step step;
    step.log.append(QStringLiteral("Erasing flash memory"));
    step.frame = link::Frame(link::code::kStartErase, QByteArray("\x55\xAA", 2));
    step.eraseSent = true;
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
            step.frame = SendBlock(image, step);
            intFlashState = kProgramming;
        } else {
            step.log.append(QStringLiteral("Erase Flash memory failed"));
            step.end = End::kEraseFailed;
            step.answerCode = code;
            step.answer = strRxData;
            intFlashState = kIdle;
        }
    } else if (intFlashState == kProgramming && strRxData == strFlashBlock) {
        const int32_t echoed = lngFlashAddress - kBlockSize;
        step.confirmed = Block{echoed, (echoed - kFirstBlock) / kBlockSize};
        if (lngFlashAddress >= lngFlashEnd) {
            step.log.append(QStringLiteral("Programming complete"));
            step.barVisible = false;
            step.end = End::kCompleted;
            complete_ = true;
        } else {
            step.progress = static_cast<float>(static_cast<double>(lngFlashAddress - kFirstBlock) /
                                               (lngFlashEnd - kFirstBlock) * 100);
            step.frame = SendBlock(image, step);
        }
    } else if (Running()) {
        step.strayIgnored = true;
    }
    return step;
}

FlashSession::Step FlashSession::LineLost() {
    Step step;
    if (Running()) {
        step.log.append(
            QStringLiteral("Programming failed - pick the port again and press Program"));
        step.end = End::kLineLost;
        intFlashState = kIdle;
    }
    return step;
}

QByteArray FlashSession::SendBlock(const FlashImage& image, Step& step) {
    step.sent = Block{lngFlashAddress, (lngFlashAddress - kFirstBlock) / kBlockSize};
    strFlashBlock = AddressToBytes(lngFlashAddress);
    strFlashBlock.reserve(4 + kBlockSize);
    // The top block starts at the image's last byte; erased flash stands in for the rest.
    const int32_t inImage = std::min(kBlockSize, kImageTop + 1 - lngFlashAddress);
    strFlashBlock.append(reinterpret_cast<const char*>(image.data() + lngFlashAddress), inImage);
    strFlashBlock.append(kBlockSize - inImage, static_cast<char>(kBlank));
    lngFlashAddress += kBlockSize;
    return link::Frame(link::code::kStartBlock, strFlashBlock);
}

}  // namespace irig::flash
