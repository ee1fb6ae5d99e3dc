#include "flash/hexfile.h"

#include <cstring>

namespace irig::flash {

namespace {

constexpr int32_t kProgramIdAt = 0x4168;
constexpr int kProgramIdLength = 65;
constexpr qsizetype kReadChunk = qsizetype{64} * 1024;

int DigitValue(char c) {
    if (c >= '1' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return 0;
}

int DigitAt(QByteArrayView text, qsizetype i) {
    return i < text.size() ? DigitValue(text[i]) : 0;
}

// The characters at 1-based position `from`, as many as there are up to `count`.
QByteArrayView Mid(QByteArrayView line, qsizetype from, qsizetype count) {
    if (from - 1 >= line.size()) {
        return {};
    }
    return line.sliced(from - 1, std::min(count, line.size() - (from - 1)));
}

QString Line(const char* message) {
    return QLatin1String(message) + QLatin1String("\r\n");
}

}  // namespace

uint8_t HexToByte(QByteArrayView text) {
    return static_cast<uint8_t>(DigitAt(text, 0) * 16 + DigitAt(text, 1));
}

int16_t HexToInt(QByteArrayView text) {
    return HexToByte(text);
}

int32_t HexToLong(QByteArrayView text) {
    // "0000" in front, then the last four characters.
    int32_t value = 0;
    for (qsizetype i = text.size() - 4; i < text.size(); ++i) {
        value = value * 16 + (i >= 0 ? DigitValue(text[i]) : 0);
    }
    return value;
}

QString NumberText(int64_t number) {
    return number < 0 ? QString::number(number) : QLatin1Char(' ') + QString::number(number);
}

QString LineMessage(LineVerdict verdict, int32_t lineNumber) {
    const char* message = nullptr;
    switch (verdict) {
        case LineVerdict::LengthError:
            message = "Length error - Line ";
            break;
        case LineVerdict::InvalidStart:
            message = "Invalid starting character - Line ";
            break;
        case LineVerdict::ChecksumError:
            message = "Checksum error - Line ";
            break;
        case LineVerdict::Accepted:
        case LineVerdict::OutsideImage:
            return {};
    }
    return QLatin1String(message) + NumberText(lineNumber) + QLatin1String("\r\n");
}

LineVerdict HexParser::ParseHexLine(QByteArrayView line) {
    if (line.size() < 11) {
        return LineVerdict::LengthError;
    }
    if (line[0] != ':') {
        return LineVerdict::InvalidStart;
    }
    const int count = HexToByte(Mid(line, 2, 2));
    if (line.size() != 2 * count + 11) {
        return LineVerdict::LengthError;
    }
    unsigned sum = 0;
    for (qsizetype position = 2; position < line.size(); position += 2) {
        sum += HexToByte(Mid(line, position, 2));
    }
    if ((sum & 0xFF) != 0) {
        return LineVerdict::ChecksumError;
    }
    switch (HexToByte(Mid(line, 8, 2))) {
        case 0x02:
            lngSegmentBase = HexToLong(Mid(line, 10, 4)) * 16;
            return LineVerdict::Accepted;
        case 0x00: {
            const int32_t offset = HexToLong(Mid(line, 4, 4));
            const int16_t bytes = HexToInt(Mid(line, 2, 2));
            for (int k = 0; k < bytes; ++k) {
                const int32_t target = lngSegmentBase + offset + k;
                if (target > kImageTop) {
                    return LineVerdict::OutsideImage;
                }
                image_[target] = HexToByte(Mid(line, 10 + 2 * k, 2));
                ++lngBytesLoaded;
            }
            return LineVerdict::Accepted;
        }
        default:
            return LineVerdict::Accepted;
    }
}

bool HexLineReader::Fill() {
    if (next_ < buffer_.size()) {
        return true;
    }
    if (failed_) {
        return false;
    }
    buffer_.resize(kReadChunk);
    const qint64 got = file_.read(buffer_.data(), kReadChunk);
    next_ = 0;
    if (got <= 0) {
        buffer_.clear();
        failed_ = got < 0;
        return false;
    }
    buffer_.resize(got);
    return true;
}

bool HexLineReader::AtEnd() {
    return !Fill();
}

void HexLineReader::ReadLine(QByteArray& line) {
    line.clear();
    while (Fill()) {
        const char* from = buffer_.constData() + next_;
        const auto* cr = static_cast<const char*>(std::memchr(from, '\r', buffer_.size() - next_));
        if (cr == nullptr) {
            line.append(from, buffer_.size() - next_);
            next_ = buffer_.size();
            continue;
        }
        line.append(from, cr - from);
        next_ += cr - from + 1;
        if (Fill() && buffer_[next_] == '\n') {
            ++next_;
        }
        break;
    }
}

QString ProgramId(const FlashImage& image) {
    QString id;
    for (int i = 0; i < kProgramIdLength && image[kProgramIdAt + i] != 0x00; ++i) {
        id.append(QLatin1Char(static_cast<char>(image[kProgramIdAt + i])));
    }
    return id;
}

HexLoad::HexLoad(FlashImage& image, QIODevice& file, Append append)
    : image_(image), reader_(file), parser_(image), append_(std::move(append)) {}

void HexLoad::Begin(const QString& path) {
    append_(Line("Initalizing flash image"));
    image_.fill(kBlank);
    append_(QLatin1String("Opening ") + path + QLatin1String("\r\n"));
    append_(Line("Reading flash data"));
}

void HexLoad::ReadLine() {
    reader_.ReadLine(strLine);
    if (reader_.Failed()) {
        return;
    }
    const LineVerdict verdict = parser_.ParseHexLine(strLine);
    if (verdict != LineVerdict::Accepted) {
        blnLoadError = true;
        const QString message = LineMessage(verdict, lngLineNumber);
        if (!message.isEmpty()) {
            append_(message);
        }
    }
    ++lngLineNumber;
}

void HexLoad::Finish() {
    if (reader_.Failed()) {
        append_(Line("Flash file load error"));
        return;
    }
    if (blnLoadError) {
        append_(Line("Flash file load error"));
    } else {
        append_(QLatin1String("Loaded ") + NumberText(parser_.lngBytesLoaded) +
                QLatin1String(" bytes -  No errors\r\n"));
    }
    append_(Line("Closing flash data file"));
}

void HexLoad::ShowProgramId() {
    append_(QLatin1String("Program ID: ") + ProgramId(image_));
}

}  // namespace irig::flash
