// Reading an Intel HEX firmware file into the flash image: the lenient hex digit conversions, the
// line reader (a line ends at CR), the check and application of one line, the messages a load
// writes, and the program ID inside the image. No widgets: the window drives a load line by line.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QIODevice>
#include <QString>
#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <optional>

namespace irig::flash {

inline constexpr int32_t kImageTop = 0x20000;   // the highest offset; the image holds 0..kImageTop
inline constexpr int32_t kFirstBlock = 0x4000;  // the image below it is never programmed
inline constexpr uint8_t kBlank = 0xFF;         // erased flash
inline constexpr qsizetype kLongestRecord = 521;  // 255 data bytes: 2 * 255 + 11 characters
inline constexpr int64_t kListedFaults = 5000;    // faulty lines a load lists one by one
using FlashImage = std::array<uint8_t, kImageTop + 1>;

// Hex digits count 1-9 and A-F/a-f; every other character, "0" included, and a missing one count 0.
uint8_t HexToByte(QByteArrayView text);  // the first two characters
int16_t HexToInt(QByteArrayView text);   // as HexToByte, 0..255
int32_t HexToLong(QByteArrayView text);  // the last four characters, 0..65535

// A number in a log message: decimal with one blank before it (where a minus would stand).
QString NumberText(int64_t number);

// The highest offset whose byte is not 0xFF, or -1 when there is none.
int32_t LastData(const FlashImage& image);

enum class LineVerdict { Accepted, LengthError, InvalidStart, ChecksumError, OutsideImage };

// The log line a verdict writes ("Length error - Line  7\r\n"); empty when it writes none.
QString LineMessage(LineVerdict verdict, int64_t lineNumber);

// Checks one line and applies an accepted one to the image. Keeps the base address between lines
// and counts every data byte stored.
class HexParser {
public:
    explicit HexParser(FlashImage& image) : image_(image) {}

    LineVerdict ParseHexLine(QByteArrayView line);

    // The base of the records that follow: the last extended segment address (type 02) times 16,
    // or the last extended linear address (type 04) times 65536, whichever came later.
    int64_t lngSegmentBase = 0;
    int64_t lngBytesLoaded = 0;
    int64_t bytesBelowFirstBlock = 0;    // stored bytes that Program never sends
    int64_t overlappingBytes = 0;        // stored where an earlier record had stored a byte
    int32_t firstOverlap = -1;           // the lowest such offset
    std::bitset<kImageTop + 1> written;  // the offsets a data record stored a byte at

private:
    FlashImage& image_;
};

// Lines of a HEX file: a line ends at a carriage return, and a line feed right after it is skipped;
// a line feed alone ends nothing and stays in the line. A line longer than any record is cut to
// kLongestRecord + 1 characters, which the parser judges exactly as the whole line.
class HexLineReader {
public:
    explicit HexLineReader(QIODevice& file) : file_(file) {}

    // True at the end of the file, and after a read error.
    bool AtEnd();
    // The next line without its end; valid until the next call.
    QByteArrayView ReadLine();
    bool Failed() const { return failed_; }

private:
    bool Fill();  // false at the end of the file or on a read error
    void Keep(const char* from, qsizetype size);

    QIODevice& file_;
    QByteArray buffer_;
    qsizetype next_ = 0;    // the next byte of the buffer to read
    qsizetype filled_ = 0;  // the bytes of the buffer that the last read filled
    QByteArray line_;       // a line that spans two reads
    bool ended_ = false;    // the end of the file or a read error was met
    bool failed_ = false;
};

// The text at 0x4168 up to the first 0x00, at most 65 characters, one per byte.
QString ProgramId(const FlashImage& image);
// The version a program ID carries, in tenths: its last N.N ("irig 2.4" carries 24), as a unit
// reads it after an update; nothing when it carries none.
std::optional<int> ProgramIdVersion(const QString& programId);

// Opens a firmware file for reading, if it is a regular file: a named pipe would block the open
// and a device or a directory would never end. Otherwise `why` says what the path is, or the
// system's reason.
bool OpenFirmwareFile(QFile& file, QString* why);

// One load of a file into the image: resets the image, reads and checks every line, and writes the
// load's messages through `append` (which appends its text to the log exactly as given).
class HexLoad {
public:
    using Append = std::function<void(const QString& text)>;

    HexLoad(FlashImage& image, QIODevice& file, Append append);

    // The opening messages (the first replaces the log, so the caller empties it) and a blank
    // image.
    void Begin(const QString& path);
    // True at the end of the file, and after a read error.
    bool AtEnd() { return reader_.AtEnd(); }
    // Reads, checks and applies the next line.
    void ReadLine();
    // The result and "Closing flash data file"; after a read error only "Flash file load error".
    void Finish();
    // The program ID message, which ends no line.
    void ShowProgramId();

    bool ReadFailed() const { return reader_.Failed(); }
    // Every line was sound.
    bool Succeeded() const { return !blnLoadError && !reader_.Failed(); }
    // Sound, and with data from 0x4000 up: something Program can send. Known after Finish.
    bool Programmable() const { return Succeeded() && !nothingToProgram_; }
    int64_t FaultyLines() const { return faultyLines_; }
    const HexParser& Parser() const { return parser_; }

private:
    FlashImage& image_;
    HexLineReader reader_;
    HexParser parser_;
    Append append_;
    bool blnLoadError = false;
    bool nothingToProgram_ = false;
    int64_t lngLineNumber = 1;
    int64_t faultyLines_ = 0;
    int64_t unlistedLines_ = 0;  // faulty lines beyond kListedFaults, counted instead of listed
};

}  // namespace irig::flash
