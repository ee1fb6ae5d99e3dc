// irigctl inspect: a firmware file read as the window's Load reads it, and what an update with it
// would do: the bytes and address ranges it holds, records that overlap, the blocks Program sends,
// their SHA-256, and the time they take at 19200 baud; and the helpers that format what irigctl
// prints. No unit is involved.
#pragma once

#include <QJsonObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <memory>

#include "cli/command.h"
#include "flash/hexfile.h"
#include "link/printable.h"

namespace irig::cli {

struct Inspection {
    bool readable = false;
    QString readError;     // why the file could not be read
    QStringList messages;  // the load's faulty lines and verdict, as the window logs them
    QString advice;        // what to do about a fault the messages do not name, if anything
    bool programmable = false;
    int64_t bytesLoaded = 0;
    int64_t overlappingBytes = 0;  // stored where an earlier record had stored a byte
    int32_t firstOverlap = -1;
    QList<QPair<int32_t, int32_t>> ranges;  // first and last offset of each run of stored bytes
    int32_t blocks = 0;
    int32_t lastBlock = 0;     // the start of the last block sent
    QString programId;         // as the image holds it; Text() shows it printable
    QByteArray sha256;         // of the data of every block sent, in order
    int64_t wireBytes = 0;     // erase and blocks, requests and answers
    double updateSeconds = 0;  // wireBytes at 19200 baud, 10 bits a byte

    QString Text() const;
    QJsonObject Json() const;
};

// irigctl inspect FILE.
extern const Command kInspect;

// Loads `path` into `image` (left as a load leaves it) and inspects it.
Inspection Inspect(const QString& path, flash::FlashImage& image);

// "0x04000": an offset in the image as irigctl prints it.
QString Address(int32_t offset);

// "2 min 18 s", "45.2 s", "32 ms".
QString Duration(double seconds);

// Text from a unit or a file, safe for a terminal (the link's, shared with the change record).
using link::Printable;

}  // namespace irig::cli
