#include "irigctl/hashpassword.h"

#include <crypt.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <optional>

#include "cli/commandline.h"

namespace irig::monitor {

namespace {

constexpr int kDefaultCost = 10;
constexpr qsizetype kLongest = 72;  // bcrypt reads no further
constexpr cli::Option kCost{
    .name = "cost",
    .value = "N",
    .help =
        "bcrypt's cost: each check of the password takes 2^N rounds (default 10; the monitor "
        "takes 4 to 17).",
    .range = cli::Range{4, 17}};

struct Options {
    int cost = kDefaultCost;
};

std::optional<QString> Read(const cli::Given& given, cli::Request& request) {
    Options options;
    std::optional<QString> wrong = given.Number(kCost, options.cost);
    request.options = options;
    return wrong;
}

// One line from `in`, its line end dropped; nothing when more than `kLongest` bytes or a second
// line follow, so that a file of passwords is not taken for one.
std::optional<QByteArray> ReadLine(std::FILE* in) {
    std::array<char, kLongest + 3> buffer{};
    const size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
    QByteArray line(buffer.data(), static_cast<qsizetype>(got));
    if (line.endsWith('\n')) {
        line.chop(1);
    }
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    if (line.contains('\n') || line.size() > kLongest) {
        return std::nullopt;
    }
    return line;
}

// The line typed after `prompt` on the terminal of standard input, without echo.
QByteArray Typed(std::FILE* err, const char* prompt) {
    cli::Write(err, QLatin1String(prompt));
    termios shown{};
    tcgetattr(STDIN_FILENO, &shown);
    termios hidden = shown;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    std::array<char, 1024> buffer{};
    const bool read = std::fgets(buffer.data(), buffer.size(), stdin) != nullptr;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &shown);
    cli::Write(err, QStringLiteral("\n"));
    QByteArray line = read ? QByteArray(buffer.data()) : QByteArray();
    return line.endsWith('\n') ? line.chopped(1) : line;
}

int Run(const cli::Request& request, const cli::Context& context) {
    std::optional<QByteArray> password;
    if (isatty(STDIN_FILENO) != 0) {
        password = Typed(context.err, "Password: ");
        if (Typed(context.err, "Again: ") != *password) {
            cli::Write(context.err, QStringLiteral("irigctl: the two passwords differ\n"));
            return cli::kUsage;
        }
    } else {
        password = ReadLine(stdin);
    }
    const PasswordHash hashed =
        password ? HashPassword(*password, request.OptionsOf<Options>().cost)
                 : PasswordHash{{},
                                QStringLiteral("standard input is not one line of at most %1 "
                                               "bytes")
                                    .arg(kLongest)};
    if (hashed.hash.isEmpty()) {
        cli::Write(context.err, QStringLiteral("irigctl: %1\n").arg(hashed.wrong));
        return cli::kUsage;
    }
    cli::Write(context.out, QString::fromLatin1(hashed.hash + '\n'));
    return cli::kDone;
}

}  // namespace

PasswordHash HashPassword(const QByteArray& password, int cost) {
    if (password.isEmpty()) {
        return {{}, QStringLiteral("the password is empty")};
    }
    if (password.size() > kLongest || password.contains('\0')) {
        return {{},
                QStringLiteral("bcrypt takes a password of at most %1 bytes, without NUL")
                    .arg(kLongest)};
    }
    std::array<char, CRYPT_GENSALT_OUTPUT_SIZE> salt{};
    crypt_data data{};
    if (crypt_gensalt_rn("$2b$", static_cast<unsigned long>(cost), nullptr, 0, salt.data(),
                         static_cast<int>(salt.size())) == nullptr ||
        crypt_rn(password.constData(), salt.data(), &data, sizeof data) == nullptr) {
        return {{}, QStringLiteral("the system's crypt library makes no bcrypt hash")};
    }
    return {QByteArray(data.output), {}};
}

const cli::Command kHashPassword{
    .name = "hash-password",
    .summary = "print a bcrypt hash of a password, for the monitor's web configuration",
    .description =
        "Reads a password, typed twice without echo on a terminal, or else one line of standard\n"
        "input (at most 72 bytes, bcrypt's limit), and prints its bcrypt hash for a user under\n"
        "basic_auth_users in the file monitor --web-config takes. Each hash has a salt of its\n"
        "own, so two hashes of one password differ.",
    .options = {kCost},
    .read = Read,
    .run = Run,
    .eventLoop = false,
};

}  // namespace irig::monitor
