#include "flash/hexfile.h"

#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace irig::flash {

namespace {

constexpr int32_t kProgramIdAt = 0x4168;
constexpr int kProgramIdLength = 65;
constexpr qsizetype kReadChunk = qsizetype{64} * 1024;
constexpr qsizetype kLineKept = kLongestRecord + 1;

constexpr std::array<uint8_t, 256> DigitTable() {
    std::array<uint8_t, 256> table{};
    for (int c = '1'; c <= '9'; ++c) {
        table[c] = static_cast<uint8_t>(c - '0');
    }
    for (int c = 0; c < 6; ++c) {
        table['A' + c] = static_cast<uint8_t>(10 + c);
        table['a' + c] = static_cast<uint8_t>(10 + c);
    }
    return table;
}

constexpr std::array<uint8_t, 256> kDigit = DigitTable();

int DigitValue(char c) {
    return kDigit[static_cast<uint8_t>(c)];
}

int DigitAt(QByteArrayView text, qsizetype i) {
    return i < text.size() ? DigitValue(text[i]) : 0;
}

// The byte of the two characters at `at` and `at + 1`, both inside the text.
uint8_t PairAt(const char* at) {
    return static_cast<uint8_t>(DigitValue(at[0]) * 16 + DigitValue(at[1]));
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

// Appends a number as log messages write it: decimal, with a blank before it unless it is negative.
QString& AppendNumber(QString& text, int64_t number) {
    char digits[24];
    char* end = std::to_chars(digits + 1, digits + sizeof digits, number).ptr;
    const char* from = digits + 1;
    if (number >= 0) {
        digits[0] = ' ';
        from = digits;
    }
    return text.append(QLatin1String(from, end - from));
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
    QString text;
    return AppendNumber(text, number);
}

int32_t LastData(const FlashImage& image) {
    // A chunk at a time over the erased tail, which is most of a small image.
    static constexpr auto kErased = [] {
        std::array<uint8_t, 256> erased{};
        erased.fill(kBlank);
        return erased;
    }();
    int32_t end = kImageTop + 1;
    while (end >= static_cast<int32_t>(kErased.size()) &&
           std::memcmp(image.data() + end - kErased.size(), kErased.data(), kErased.size()) == 0) {
        end -= static_cast<int32_t>(kErased.size());
    }
    while (end > 0 && image[end - 1] == kBlank) {
        --end;
    }
    return end - 1;
}

QString LineMessage(LineVerdict verdict, int64_t lineNumber) {
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
    QString text;
    text.reserve(64);
    text.append(QLatin1String(message));
    return AppendNumber(text, lineNumber).append(QLatin1String("\r\n"));
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
    // Every byte of the record decoded once: count, offset (2), type, data, checksum.
    std::array<uint8_t, 255 + 5> bytes;  // only the first count + 5 are filled and read
    unsigned sum = 0;
    for (qsizetype i = 0; i < count + 5; ++i) {
        bytes[static_cast<size_t>(i)] = PairAt(line.data() + 1 + 2 * i);
        sum += bytes[static_cast<size_t>(i)];
    }
    if ((sum & 0xFF) != 0) {
        return LineVerdict::ChecksumError;
    }
    switch (bytes[3]) {
        case 0x02:
            lngSegmentBase = int64_t{HexToLong(Mid(line, 10, 4))} * 16;
            return LineVerdict::Accepted;
        case 0x04:
            lngSegmentBase = int64_t{HexToLong(Mid(line, 10, 4))} * 65536;
            return LineVerdict::Accepted;
        case 0x00: {
            // The bytes up to the image's top are stored and counted; a byte beyond fails the line.
            const int64_t start = lngSegmentBase + (bytes[1] << 8 | bytes[2]);
            const int64_t stored = std::clamp<int64_t>(kImageTop + 1 - start, 0, count);
            if (stored > 0) {
                std::memcpy(image_.data() + start, bytes.data() + 4, static_cast<size_t>(stored));
            }
            for (int64_t at = start; at < start + stored; ++at) {
                if (written.test(static_cast<size_t>(at))) {
                    firstOverlap = overlappingBytes++ == 0
                                       ? static_cast<int32_t>(at)
                                       : std::min(firstOverlap, static_cast<int32_t>(at));
                }
                written.set(static_cast<size_t>(at));
            }
            lngBytesLoaded += stored;
            bytesBelowFirstBlock += std::clamp<int64_t>(kFirstBlock - start, 0, stored);
            return stored == count ? LineVerdict::Accepted : LineVerdict::OutsideImage;
        }
        default:
            return LineVerdict::Accepted;
    }
}

bool HexLineReader::Fill() {
    if (next_ < filled_) {
        return true;
    }
    if (ended_) {
        return false;
    }
    if (buffer_.isEmpty()) {
        // Room for the whole of a small file, and reads of 64 KB for a larger one.
        buffer_.resize(std::clamp<qsizetype>(file_.bytesAvailable() + 1, 4096, kReadChunk));
    }
    const qint64 got = file_.read(buffer_.data(), buffer_.size());
    next_ = 0;
    filled_ = std::max<qint64>(got, 0);
    ended_ = got <= 0;
    failed_ = got < 0;
    return !ended_;
}

bool HexLineReader::AtEnd() {
    return !Fill();
}

void HexLineReader::Keep(const char* from, qsizetype size) {
    line_.append(from, std::min(size, kLineKept - line_.size()));
}

QByteArrayView HexLineReader::ReadLine() {
    line_.clear();
    bool spans = false;  // the line began in an earlier read
    while (Fill()) {
        const char* from = buffer_.constData() + next_;
        const qsizetype left = filled_ - next_;
        const auto* cr = static_cast<const char*>(std::memchr(from, '\r', left));
        if (cr == nullptr) {
            Keep(from, left);
            next_ = filled_;
            spans = true;
            continue;
        }
        const qsizetype length = cr - from;
        next_ += length + 1;
        if (!spans && next_ < filled_) {
            // The whole line and the byte after its CR are in this read: no copy.
            if (buffer_[next_] == '\n') {
                ++next_;
            }
            return {from, std::min(length, kLineKept)};
        }
        Keep(from, length);
        if (Fill() && buffer_[next_] == '\n') {
            ++next_;
        }
        break;
    }
    return line_;
}

QString ProgramId(const FlashImage& image) {
    QString id;
    for (int i = 0; i < kProgramIdLength && image[kProgramIdAt + i] != 0x00; ++i) {
        id.append(QLatin1Char(static_cast<char>(image[kProgramIdAt + i])));
    }
    return id;
}

std::optional<int> ProgramIdVersion(const QString& programId) {
    std::optional<int> version;
    for (qsizetype dot = programId.indexOf(QLatin1Char('.')); dot >= 0;
         dot = programId.indexOf(QLatin1Char('.'), dot + 1)) {
        qsizetype start = dot;
        while (start > 0 && programId[start - 1].isDigit() &&
               programId[start - 1].unicode() < 0x80) {
            --start;
        }
        if (start == dot || dot + 1 >= programId.size() ||
            !(programId[dot + 1] >= QLatin1Char('0') && programId[dot + 1] <= QLatin1Char('9'))) {
            continue;
        }
        bool ok = false;
        const int tenths = programId.mid(start, dot - start).toInt(&ok) * 10 +
                           (programId[dot + 1].unicode() - u'0');
        if (ok && tenths <= 255) {
            version = tenths;
        }
    }
    return version;
}

bool OpenFirmwareFile(QFile& file, QString* why) {
#ifdef Q_OS_UNIX
    const int fd =
        ::open(QFile::encodeName(file.fileName()).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat status {};
    const char* kind = nullptr;
    if (::fstat(fd, &status) != 0) {
        kind = "something that cannot be examined";
    } else if (S_ISFIFO(status.st_mode)) {
        kind = "a named pipe (FIFO)";
    } else if (S_ISCHR(status.st_mode)) {
        kind = "a character device";
    } else if (S_ISBLK(status.st_mode)) {
        kind = "a block device";
    } else if (S_ISDIR(status.st_mode)) {
        kind = "a directory";
    } else if (S_ISSOCK(status.st_mode)) {
        kind = "a socket";
    } else if (!S_ISREG(status.st_mode)) {
        kind = "not a file";
    }
    if (kind != nullptr) {
        ::close(fd);
        *why = QStringLiteral("it is %1, not a regular file").arg(QLatin1String(kind));
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *why = file.errorString();
        return false;
    }
    return true;
#else
    if (!QFileInfo(file.fileName()).isFile() && QFileInfo::exists(file.fileName())) {
        *why = QStringLiteral("it is not a regular file");
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        return false;
    }
    return true;
#endif
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
    const QByteArrayView strLine = reader_.ReadLine();
    if (reader_.Failed()) {
        return;
    }
    const LineVerdict verdict = parser_.ParseHexLine(strLine);
    if (verdict != LineVerdict::Accepted) {
        blnLoadError = true;
        const QString message = LineMessage(verdict, lngLineNumber);
        if (!message.isEmpty()) {
            ++faultyLines_;
            if (faultyLines_ <= kListedFaults) {
                append_(message);
            } else {
                ++unlistedLines_;
            }
        }
    }
    ++lngLineNumber;
}

void HexLoad::Finish() {
    if (reader_.Failed()) {
        append_(Line("Flash file load error"));
        return;
    }
    if (unlistedLines_ > 0) {
        append_(QLatin1String("More faulty lines not listed - ") + NumberText(unlistedLines_) +
                QLatin1String("\r\n"));
    }
    if (blnLoadError) {
        append_(Line("Flash file load error"));
    } else {
        append_(QLatin1String("Loaded ") + NumberText(parser_.lngBytesLoaded) +
                QLatin1String(" bytes -  No errors\r\n"));
        if (parser_.bytesBelowFirstBlock > 0) {
            append_(QLatin1String("Skipped ") + NumberText(parser_.bytesBelowFirstBlock) +
                    QLatin1String(" bytes below 0x4000 - not programmed\r\n"));
        }
        if (parser_.overlappingBytes > 0) {
            append_(QLatin1String("Overlapping ") + NumberText(parser_.overlappingBytes) +
                    QLatin1String(" bytes - later records replaced earlier ones\r\n"));
        }
        nothingToProgram_ = LastData(image_) < kFirstBlock;
        if (nothingToProgram_) {
            append_(Line("Nothing to program - no data from 0x4000 up"));
        }
    }
    append_(Line("Closing flash data file"));
}

void HexLoad::ShowProgramId() {
    append_(QLatin1String("Program ID: ") + ProgramId(image_));
}

}  // namespace irig::flash
