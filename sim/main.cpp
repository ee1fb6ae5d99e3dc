// irig-unit-sim: a simulated IRIG-B time-code unit on a pseudo-terminal (or a real tty), for
// trying, demonstrating and testing irig-config without hardware. See --help.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <string>

#include "unit.h"

namespace {

using sim::Bytes;
using sim::Clock;

const char kUsage[] =
    "usage: irig-unit-sim (--link PATH | --device PATH) [options]\n"
    "  --link PATH          make a pseudo-terminal and a symlink PATH to it (removed on exit)\n"
    "  --device PATH        use an existing tty instead, at 19200 baud 8N1\n"
    "  --source S           gps, irig, irig-bad or crystal (default gps)\n"
    "  --firmware N         the unit's firmware version in tenths (default 23, shown as 2.3)\n"
    "  --gps-message TEXT   the GPS message\n"
    "  --clock-offset S     the unit's clock runs S seconds off the host's at start (fractions\n"
    "                       too: 0.137 is 137 ms ahead, -2.5 behind)\n"
    "  --reboot-ms N        a re-boot takes N ms (default 1500)\n"
    "  --baud N             pace the line as N baud, 10 bits a byte; 0 answers at once (default)\n"
    "  --flash-out FILE     keep FILE equal to the flash, 0x00000-0x2007F\n"
    "  --verbose            one line per request on stderr\n"
    "  --gaps               on exit, say on stderr how long the host took, in all, from the\n"
    "                       last byte of each answer to the first byte of its next request\n"
    "faults:\n"
    "  --silent             never answer\n"
    "  --refuse-flash-mode  ignore the flash-mode request (0x80 0xF1)\n"
    "  --drop-echo N        do not echo the Nth programmed block\n"
    "  --corrupt-echo N     change one byte of the Nth block's echo\n"
    "  --fail-erase N       fail the Nth erase\n"
    "  --hang-up-after N    close the line after the Nth block's echo, then open a new one\n"
    "  --split              deliver replies in random pieces of 1 to 4 bytes\n"
    "  --junk               put random bytes between replies\n"
    "  --seed N             seed for --split and --junk\n"
    "  -h, --help           show this help\n"
    "  -V, --version        show the version\n";

volatile sig_atomic_t stopRequested = 0;

void Stop(int) {
    stopRequested = 1;
}

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "irig-unit-sim: %s\n", message.c_str());
    std::exit(2);
}

void MakeRaw(int fd, bool realLine) {
    termios line{};
    if (tcgetattr(fd, &line) != 0) {
        Fail(std::string("not a terminal: ") + std::strerror(errno));
    }
    cfmakeraw(&line);
    if (realLine) {
        cfsetispeed(&line, B19200);
        cfsetospeed(&line, B19200);
        line.c_cflag |= CLOCAL | CREAD;
        line.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    }
    tcsetattr(fd, TCSANOW, &line);
}

struct Settings {
    std::string link, device, flashOut;
    long baud = 0;
    bool verbose = false, split = false, junk = false, gaps = false;
    unsigned seed = 1;
    sim::Options unit;
};

Settings Parse(int argc, char* argv[]) {
    Settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Fail(arg + " needs a value");
            return argv[++i];
        };
        auto number = [&]() -> long long {
            const std::string text = value();
            char* end = nullptr;
            const long long n = std::strtoll(text.c_str(), &end, 10);
            if (end == text.c_str() || *end != '\0')
                Fail(arg + ": not a number: " + text);
            return n;
        };
        if (arg == "--link")
            s.link = value();
        else if (arg == "--device")
            s.device = value();
        else if (arg == "--source")
            s.unit.source = value();
        else if (arg == "--firmware")
            s.unit.version = static_cast<int>(number() & 0xFF);
        else if (arg == "--gps-message")
            s.unit.gpsMessage = value();
        else if (arg == "--clock-offset") {
            const std::string text = value();
            char* end = nullptr;
            s.unit.clockOffsetSeconds = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || !std::isfinite(s.unit.clockOffsetSeconds))
                Fail(arg + ": not a number of seconds: " + text);
        } else if (arg == "--reboot-ms")
            s.unit.rebootMs = static_cast<int>(number());
        else if (arg == "--baud")
            s.baud = static_cast<long>(number());
        else if (arg == "--flash-out")
            s.flashOut = value();
        else if (arg == "--verbose")
            s.verbose = true;
        else if (arg == "--gaps")
            s.gaps = true;
        else if (arg == "--silent")
            s.unit.silent = true;
        else if (arg == "--refuse-flash-mode")
            s.unit.refuseFlashMode = true;
        else if (arg == "--drop-echo")
            s.unit.dropEcho = static_cast<int>(number());
        else if (arg == "--corrupt-echo")
            s.unit.corruptEcho = static_cast<int>(number());
        else if (arg == "--fail-erase")
            s.unit.failErase = static_cast<int>(number());
        else if (arg == "--hang-up-after")
            s.unit.hangUpAfter = static_cast<int>(number());
        else if (arg == "--split")
            s.split = true;
        else if (arg == "--junk")
            s.junk = true;
        else if (arg == "--seed")
            s.seed = static_cast<unsigned>(number());
        else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "--version" || arg == "-V") {
            std::puts("irig-unit-sim " IRIG_VERSION);
            std::exit(0);
        } else
            Fail("unknown option " + arg + "\n" + kUsage);
    }
    if (s.link.empty() == s.device.empty())
        Fail(std::string("give --link or --device\n") + kUsage);
    const std::string sources[] = {"gps", "irig", "irig-bad", "crystal"};
    if (std::find(std::begin(sources), std::end(sources), s.unit.source) == std::end(sources)) {
        Fail("--source must be gps, irig, irig-bad or crystal");
    }
    if (s.baud < 0)
        Fail("--baud must be 0 or more");
    return s;
}

// The line to the host: a pseudo-terminal behind a symlink, or a tty.
class Line {
public:
    explicit Line(const Settings& settings) : settings_(settings) { Open(); }
    ~Line() {
        // The link goes only while it is still this unit's: another may have taken the name since.
        if (!settings_.link.empty() && LinkTarget() == slavePath_)
            unlink(settings_.link.c_str());
        Close();
    }

    int fd() const { return fd_; }

    void Open() {
        if (!settings_.device.empty()) {
            fd_ = open(settings_.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (fd_ < 0)
                Fail(settings_.device + ": " + std::strerror(errno));
            MakeRaw(fd_, true);
            Block();
            std::printf("irig-unit-sim: ready on %s\n", settings_.device.c_str());
            std::fflush(stdout);
            return;
        }
        fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0)
            Fail("cannot make a pseudo-terminal");
        const std::string slave = ptsname(fd_);
        // Holding the slave side open keeps the master from seeing a hang-up whenever the
        // program closes its port; its lock tells a second unit that the link is served.
        slave_ = open(slave.c_str(), O_RDWR | O_NOCTTY);
        if (slave_ < 0)
            Fail(slave + ": " + std::strerror(errno));
        MakeRaw(slave_, false);
        Block();
        if (Served())
            Fail(settings_.link + " is served by another irig-unit-sim (on " + LinkTarget() +
                 "); stop that one first, or give another --link");
        flock(slave_, LOCK_EX | LOCK_NB);
        slavePath_ = slave;
        const std::string temporary = settings_.link + ".new";
        unlink(temporary.c_str());
        if (symlink(slave.c_str(), temporary.c_str()) != 0 ||
            rename(temporary.c_str(), settings_.link.c_str()) != 0) {
            Fail(settings_.link + ": " + std::strerror(errno));
        }
        std::printf("irig-unit-sim: ready on %s (link %s)\n", slave.c_str(),
                    settings_.link.c_str());
        std::fflush(stdout);
    }

    void Close() {
        if (fd_ >= 0)
            close(fd_);
        if (slave_ >= 0)
            close(slave_);
        fd_ = slave_ = -1;
    }

private:
    // Opened without waiting for a carrier; blocking from then on, so that the loop may wait for
    // a request in read() itself.
    void Block() { fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK); }

    // Where the link points now, or empty.
    std::string LinkTarget() const {
        char target[PATH_MAX];
        const ssize_t size = readlink(settings_.link.c_str(), target, sizeof target - 1);
        return size > 0 ? std::string(target, static_cast<size_t>(size)) : std::string();
    }
    // The link points at a pseudo-terminal that a running unit holds locked.
    bool Served() const {
        const std::string target = LinkTarget();
        if (target.empty() || target == slavePath_)
            return false;
        const int other = open(target.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (other < 0)
            return errno == EBUSY;  // held exclusively by a program on it
        const bool locked = flock(other, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        close(other);
        return locked;
    }

    const Settings& settings_;
    int fd_ = -1;
    int slave_ = -1;
    std::string slavePath_;  // the pseudo-terminal this unit serves
};

// Bytes waiting for their time on the line.
struct Piece {
    Clock::time_point due;
    Bytes bytes;
};

}  // namespace

int main(int argc, char* argv[]) {
    const Settings settings = Parse(argc, argv);
    struct sigaction action {};
    action.sa_handler = Stop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // The flash file is a shared mapping: what is programmed is in the file at once, without a
    // system call per block.
    uint8_t* flashOut = nullptr;
    if (!settings.flashOut.empty()) {
        const int file = open(settings.flashOut.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        if (file < 0 || ftruncate(file, sim::kFlashSize) != 0)
            Fail(settings.flashOut + ": " + std::strerror(errno));
        void* mapped = mmap(nullptr, sim::kFlashSize, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
        if (mapped == MAP_FAILED)
            Fail(settings.flashOut + ": " + std::strerror(errno));
        close(file);
        flashOut = static_cast<uint8_t*>(mapped);
    }
    auto log = [&](const std::string& line) {
        if (settings.verbose)
            std::fprintf(stderr, "irig-unit-sim: %s\n", line.c_str());
    };
    sim::Unit unit(settings.unit, log, [&](uint32_t from, uint32_t size) {
        if (flashOut != nullptr)
            std::memcpy(flashOut + from, unit.Flash().data() + from, size);
    });
    if (flashOut != nullptr)
        std::memcpy(flashOut, unit.Flash().data(), sim::kFlashSize);

    Line line(settings);
    std::mt19937 random(settings.seed);
    const auto byteTime = settings.baud > 0
                              ? std::chrono::nanoseconds(10'000'000'000LL / settings.baud)
                              : std::chrono::nanoseconds(0);
    Clock::time_point inputDone{}, outputFree{};
    std::deque<Piece> out;
    bool hangUpPending = false;
    bool reopening = false;  // a hung-up line opens again at reopenAt
    Clock::time_point reopenAt{};
    // The host's own delay: from the last byte of an answer to the first of the next request.
    bool waitingForHost = false;
    Clock::time_point answeredAt{};
    Clock::duration hostDelay{};
    long hostTurns = 0;

    // Puts one reply on the line: paced at the byte rate, after the request has "arrived".
    auto queue = [&](Bytes reply, Clock::time_point ready) {
        if (settings.junk) {
            Bytes junk(1 + random() % 4);
            for (uint8_t& b : junk)
                b = static_cast<uint8_t>(random() % 0x80);  // never an escape
            reply.insert(reply.begin(), junk.begin(), junk.end());
        }
        Clock::time_point at = std::max(outputFree, ready);
        for (size_t from = 0; from < reply.size();) {
            // Paced lines go out 16 bytes at a time; an unpaced one writes a reply whole.
            const size_t size = settings.split      ? 1 + random() % 4
                                : settings.baud > 0 ? 16
                                                    : reply.size();
            const size_t n = std::min(size, reply.size() - from);
            at += byteTime * static_cast<long>(n);
            if (settings.split)
                at += std::chrono::microseconds(500);
            out.push_back({at, Bytes(reply.begin() + from, reply.begin() + from + n)});
            from += n;
        }
        outputFree = at;
    };

    while (!stopRequested) {
        const Clock::time_point now = Clock::now();
        for (Bytes& reply : unit.Tick(now))
            queue(std::move(reply), now);
        while (!out.empty() && out.front().due <= now && line.fd() >= 0) {
            Piece& piece = out.front();
            const ssize_t written = write(line.fd(), piece.bytes.data(), piece.bytes.size());
            if (written < 0 && errno == EAGAIN)
                break;
            if (written < 0) {
                out.clear();
                break;
            }
            piece.bytes.erase(piece.bytes.begin(), piece.bytes.begin() + written);
            if (piece.bytes.empty())
                out.pop_front();
            if (out.empty()) {
                waitingForHost = true;
                answeredAt = Clock::now();
            }
        }
        if (hangUpPending && out.empty()) {
            log("hanging up the line");
            line.Close();
            hangUpPending = false;
            reopening = true;
            reopenAt = now + std::chrono::milliseconds(300);
        }
        if (reopening && now >= reopenAt) {
            reopening = false;
            line.Open();
        }

        std::optional<Clock::time_point> wake = unit.RebootDue();
        auto earliest = [&](Clock::time_point t) { wake = wake ? std::min(*wake, t) : t; };
        if (!out.empty())
            earliest(out.front().due);
        if (reopening)
            earliest(reopenAt);
        int timeout = -1;
        if (wake) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now());
            timeout = static_cast<int>(std::clamp<long long>(wait.count(), 0, 60'000));
        }
        uint8_t buffer[4096];
        auto receive = [&](ssize_t got) {
            const Clock::time_point arrived = Clock::now();
            if (waitingForHost) {
                hostDelay += arrived - answeredAt;
                ++hostTurns;
                waitingForHost = false;
            }
            inputDone = std::max(inputDone, arrived) + byteTime * static_cast<long>(got);
            // On a paced line the last byte arrives when the bytes before it have had their time
            // on the wire.
            for (Bytes& reply : unit.Receive(buffer, static_cast<size_t>(got), inputDone)) {
                queue(std::move(reply), inputDone);
            }
            hangUpPending = hangUpPending || unit.TakeHangUp();
        };
        if (!wake && line.fd() >= 0) {
            // Nothing is due but the host's next request: wait for it in read() itself, as a bare
            // echo would. A signal to stop ends the wait (as it ends poll()'s below, one that comes
            // just before the wait is seen at the next byte).
            const ssize_t got = read(line.fd(), buffer, sizeof buffer);
            if (got > 0)
                receive(got);
            else if (got == 0 || errno != EINTR)
                Fail("the line failed");
            continue;
        }
        pollfd pfd{line.fd(), POLLIN, 0};
        if (!out.empty() && out.front().due <= Clock::now())
            pfd.events |= POLLOUT;
        const int ready = poll(&pfd, line.fd() >= 0 ? 1 : 0, timeout);
        if (ready <= 0)
            continue;
        if (pfd.revents & POLLIN) {
            const ssize_t got = read(line.fd(), buffer, sizeof buffer);
            if (got > 0)
                receive(got);
        } else if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            Fail("the line failed");
        }
    }
    if (flashOut != nullptr)
        munmap(flashOut, sim::kFlashSize);
    if (settings.gaps) {
        std::fprintf(stderr, "irig-unit-sim: host delay %.3f ms over %ld answers\n",
                     std::chrono::duration<double, std::milli>(hostDelay).count(), hostTurns);
    }
    return 0;
}
