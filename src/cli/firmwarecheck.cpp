#include "cli/firmwarecheck.h"

#include "flash/hexfile.h"
#include "fleet/inventory.h"
#include "link/printable.h"

namespace irig::cli {

std::optional<QString> CheckFirmwareFile(const QString& file, const QString& programId,
                                         const QString& sha256,
                                         const std::vector<FileExpectation>& expected) {
    const std::optional<int> carried = flash::ProgramIdVersion(programId);
    const QString shown = link::PrintableUtf8(file);
    for (const FileExpectation& expectation : expected) {
        fleet::Intended intended;
        intended.firmware = expectation.version;
        fleet::Observed observed;
        observed.version = carried;
        if (expectation.version && (!carried || !fleet::Compare(intended, observed).empty())) {
            const QString what =
                carried ? QStringLiteral("carries version %1").arg(fleet::VersionName(*carried))
                        : QStringLiteral("carries no version in its program ID (\"%1\")")
                              .arg(link::Printable(programId));
            return QStringLiteral("%1 %2, not %3 (%4): nothing flashed")
                .arg(shown, what, fleet::VersionName(*expectation.version),
                     expectation.versionFrom);
        }
        if (expectation.sha256 && *expectation.sha256 != sha256) {
            return QStringLiteral("%1 has SHA-256 %2, not %3 (%4): nothing flashed")
                .arg(shown, sha256, *expectation.sha256, expectation.sha256From);
        }
    }
    return std::nullopt;
}

}  // namespace irig::cli
