// The change record's way out: a datagram to the system log or to journald, else standard error;
// what failed is said once per sink, and every line still goes somewhere.
#include "unit/systemlog.h"

#include <QtGlobal>
#include <cstdio>
#include <ctime>
#include <memory>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#endif

namespace irig::unit {

namespace {

enum Destination { kDevLog, kJournal, kStderr };

constexpr int kNotice = 5;
constexpr int kUserFacility = 1;

#ifdef Q_OS_UNIX
// One datagram to a local socket; false when nothing there took it whole.
bool SendTo(const QByteArray& path, const QByteArray& message) {
    sockaddr_un address{};
    if (path.isEmpty() || path.size() >= static_cast<qsizetype>(sizeof address.sun_path)) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool sent =
        ::sendto(fd, message.constData(), message.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address) == message.size();
    ::close(fd);
    return sent;
}

// "<13>Dec  9 01:31:31 irigctl[42]: line", as the C library's syslog writes it.
QByteArray SyslogMessage(const char* identifier, const QString& line) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32] = {};
    (void)std::strftime(stamp, sizeof stamp, "%b %e %T", &local);
    return QStringLiteral("<%1>%2 %3[%4]: %5")
        .arg(kUserFacility * 8 + kNotice)
        .arg(QLatin1String(stamp), QLatin1String(identifier))
        .arg(::getpid())
        .arg(line)
        .toUtf8();
}

// journald's native form: a field per line; the message with its length, so that any byte may be
// in it.
QByteArray JournalMessage(const char* identifier, const QString& line) {
    const QByteArray text = line.toUtf8();
    QByteArray message = QStringLiteral("PRIORITY=%1\nSYSLOG_FACILITY=%2\nSYSLOG_PID=%3\n")
                             .arg(kNotice)
                             .arg(kUserFacility)
                             .arg(::getpid())
                             .toUtf8();
    message += QByteArray("SYSLOG_IDENTIFIER=") + identifier + "\nMESSAGE\n";
    quint64 size = static_cast<quint64>(text.size());
    for (int i = 0; i < 8; ++i, size >>= 8) {
        message += static_cast<char>(size & 0xFF);
    }
    return message + text + '\n';
}
#endif

void WriteStderr(const QString& line) {
    (void)std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stderr);
    (void)std::fflush(stderr);
}

QString Warning(const char* identifier, Destination used, const LogDestinations& where) {
    const QString missing = QStringLiteral("%1: no system log at %2")
                                .arg(QLatin1String(identifier), QString::fromUtf8(where.devLog));
    if (used == kJournal) {
        return missing + QStringLiteral(": the record of changes goes to the journal through %1")
                             .arg(QString::fromUtf8(where.journal));
    }
    if (!where.stderrCopy) {
        return missing + QStringLiteral(
                             " nor journal at %1: the record of changes is only the "
                             "lines that follow here")
                             .arg(QString::fromUtf8(where.journal));
    }
    return missing + QStringLiteral(
                         " nor journal at %1: the record of changes follows here, "
                         "each line \"%2: change: …\"")
                         .arg(QString::fromUtf8(where.journal), QLatin1String(identifier));
}

}  // namespace

std::function<void(const QString& line)> SystemLogSink(const char* identifier,
                                                       LogDestinations where) {
    if (!where.stderrLine) {
        where.stderrLine = &WriteStderr;
    }
    auto warned = std::make_shared<unsigned>(0);  // a bit per destination said
    return [identifier, where = std::move(where), warned](const QString& line) {
        Destination used = kStderr;
#ifdef Q_OS_UNIX
        if (SendTo(where.devLog, SyslogMessage(identifier, line))) {
            used = kDevLog;
        } else if (SendTo(where.journal, JournalMessage(identifier, line))) {
            used = kJournal;
        }
#endif
        if (used != kDevLog && (*warned & (1U << used)) == 0) {
            *warned |= 1U << used;
            where.stderrLine(Warning(identifier, used, where));
        }
        if (used == kStderr && where.stderrCopy) {
            where.stderrLine(QStringLiteral("%1: change: %2").arg(QLatin1String(identifier), line));
        }
    };
}

}  // namespace irig::unit
