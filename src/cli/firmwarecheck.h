// Before any unit is erased: the firmware file's own version (its program ID's) against the
// version each unit must answer afterwards, and its SHA-256 against a pinned one. A mismatch is
// refused with what the file carries and what was expected: nothing is flashed.
#pragma once

#include <QString>
#include <optional>
#include <vector>

namespace irig::cli {

// What one unit's update expects of the file, and where that comes from ("--expect-version", "the
// inventory's firmware for sub-a-1").
struct FileExpectation {
    std::optional<int> version;  // in tenths
    QString versionFrom;
    std::optional<QString> sha256;  // 64 lower-case hexadecimal digits
    QString sha256From;
};

// "fw23.hex carries version 2.3, not 2.4: nothing flashed", or nothing when the file is what
// every unit expects. `programId` and `sha256` are the file's (as inspect shows them).
std::optional<QString> CheckFirmwareFile(const QString& file, const QString& programId,
                                         const QString& sha256,
                                         const std::vector<FileExpectation>& expected);

}  // namespace irig::cli
