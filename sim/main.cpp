// irig-unit-sim: simulated IRIG-B time-code units on pseudo-terminals (or a real tty, or raw TCP
// ports), one or many from one process, for trying, demonstrating and testing irig-config and
// irigctl without hardware. See --help. A unit's behaviour is unit.cpp's; this serves the lines.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "unit.h"

namespace {

using sim::Bytes;
using sim::Clock;

const char kUsage[] =
    "usage: irig-unit-sim (--link PATH | --device PATH | --units N (--link-dir DIR | --listen\n"
    "                     ADDRESS:PORT)) [options]\n"
    "  --link PATH          make a pseudo-terminal and a symlink PATH to it (removed on exit)\n"
    "  --device PATH        use an existing tty instead, at 19200 baud 8N1\n"
    "  --units N            serve N units from this process, each with its own line, clock,\n"
    "                       offsets and flash\n"
    "  --link-dir DIR       their pseudo-terminals, linked as DIR/unit1 to DIR/unitN\n"
    "  --listen ADDR:PORT   or raw TCP ports PORT to PORT+N-1 on ADDR (for socket://), one\n"
    "                       client each at a time\n"
    "  --source S           gps, irig, irig-bad or crystal (default gps)\n"
    "  --firmware N         the unit's firmware version in tenths (default 23, shown as 2.3)\n"
    "  --gps-message TEXT   the GPS message\n"
    "  --clock-offset S     the unit's clock runs S seconds off the host's at start (fractions\n"
    "                       too: 0.137 is 137 ms ahead, -2.5 behind)\n"
    "  --drift-ppm P        the unit's clock gains P millionths of a second a second (negative:\n"
    "                       loses), from the start and from each Set Time; with --source\n"
    "                       crystal, a unit in holdover\n"
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
    "  --silent-after-update  answer nothing after the re-boot that ends an update\n"
    "  --forget-writes      acknowledge Set Time and offset sets without keeping them\n"
    "  --fault-units LIST   with --units, make the faults on these units only: 1,3,5-8 (all\n"
    "                       units when not given)\n"
    "  --split              deliver replies in random pieces of 1 to 4 bytes\n"
    "  --junk               put random bytes between replies\n"
    "  --seed N             seed for --split and --junk\n"
    "  -h, --help           show this help\n"
    "  -V, --version        show the version\n"
    "\n"
    "After an update, a unit answers the version its new firmware's program ID carries (its\n"
    "last N.N, as in \"irig 2.4\"), if it carries one. An update cut short after the erase\n"
    "leaves it in its boot loader, answering nothing but the flash commands, until it is\n"
    "flashed whole (the last block written after the erase ends in an erased byte, 0xFF, as\n"
    "the last block of every whole update does).\n";

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
    std::string link, device, flashOut, linkDir, listenAddress;
    long baud = 0;
    int units = 0;  // 0: the one unit of --link or --device
    int firstPort = 0;
    std::vector<bool> faulty;  // by unit, from 1; empty: every unit
    bool verbose = false, split = false, junk = false, gaps = false;
    unsigned seed = 1;
    sim::Options unit;
};

// "1,3,5-8" as the units it names, each from 1 to `units`.
std::vector<bool> UnitList(const std::string& text, int units) {
    std::vector<bool> named(static_cast<size_t>(units) + 1, false);
    size_t at = 0;
    while (at <= text.size()) {
        const size_t end = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, end - at);
        int first = 0;
        int last = 0;
        char dash = 0;
        char rest = 0;
        const int read = std::sscanf(item.c_str(), "%d%c%d%c", &first, &dash, &last, &rest);
        if (read == 1) {
            last = first;
        } else if (read != 3 || dash != '-') {
            Fail("--fault-units: not a list of units: " + text);
        }
        if (first < 1 || last > units || first > last) {
            Fail("--fault-units: no such units: " + item);
        }
        for (int unit = first; unit <= last; ++unit) {
            named[static_cast<size_t>(unit)] = true;
        }
        at = end + 1;
    }
    return named;
}

// What the options say together: --units with --link-dir or --listen (its ports in range), a
// source and a baud rate that exist.
void Check(Settings& s, const std::string& faultUnits) {
    if (s.units > 0) {
        if (!s.link.empty() || !s.device.empty() || s.linkDir.empty() == s.listenAddress.empty())
            Fail(std::string("--units takes --link-dir or --listen\n") + kUsage);
        if (s.units > 100'000)
            Fail("--units must be 1 to 100000");
        if (!s.listenAddress.empty()) {
            const size_t colon = s.listenAddress.rfind(':');
            s.firstPort =
                colon == std::string::npos ? 0 : std::atoi(s.listenAddress.c_str() + colon + 1);
            s.listenAddress = colon == std::string::npos ? "" : s.listenAddress.substr(0, colon);
            if (s.firstPort < 1 || s.firstPort + s.units - 1 > 65535)
                Fail("--listen takes ADDRESS:PORT, the ports PORT to PORT+N-1 from 1 to 65535");
        }
        if (!faultUnits.empty())
            s.faulty = UnitList(faultUnits, s.units);
    } else if (s.link.empty() == s.device.empty()) {
        Fail(std::string("give --link, --device or --units\n") + kUsage);
    } else if (!faultUnits.empty()) {
        Fail("--fault-units goes with --units");
    }
    const std::string sources[] = {"gps", "irig", "irig-bad", "crystal"};
    if (std::find(std::begin(sources), std::end(sources), s.unit.source) == std::end(sources)) {
        Fail("--source must be gps, irig, irig-bad or crystal");
    }
    if (s.baud < 0)
        Fail("--baud must be 0 or more");
}

Settings Parse(int argc, char* argv[]) {
    Settings s;
    std::string faultUnits;
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
        } else if (arg == "--drift-ppm") {
            const std::string text = value();
            char* end = nullptr;
            s.unit.driftPpm = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || !(std::abs(s.unit.driftPpm) <= 100'000))
                Fail(arg + ": not a number of millionths from -100000 to 100000: " + text);
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
        else if (arg == "--silent-after-update")
            s.unit.silentAfterUpdate = true;
        else if (arg == "--forget-writes")
            s.unit.forgetWrites = true;
        else if (arg == "--units")
            s.units = static_cast<int>(number());
        else if (arg == "--link-dir")
            s.linkDir = value();
        else if (arg == "--listen")
            s.listenAddress = value();
        else if (arg == "--fault-units")
            faultUnits = value();
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
    Check(s, faultUnits);
    return s;
}

// The line to the host: a pseudo-terminal behind a symlink, a tty, or a TCP port whose one client
// at a time is the line.
class Line {
public:
    struct Where {
        std::string link, device, address;
        int port = 0;
    };
    explicit Line(Where where) : settings_(std::move(where)) { Open(); }
    ~Line() {
        // The link goes only while it is still this unit's: another may have taken the name since.
        if (!settings_.link.empty() && LinkTarget() == slavePath_)
            unlink(settings_.link.c_str());
        Close();
        if (listener_ >= 0)
            close(listener_);
    }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // A TCP line's listening socket; -1 for others.
    int listener() const { return listener_; }
    // A new client replaces the last one.
    void Accept() {
        const int client = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0)
            return;
        if (fd_ >= 0)
            close(fd_);
        const int on = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        fd_ = client;
    }

    int fd() const { return fd_; }

    void Open() {
        if (settings_.port > 0) {
            if (listener_ < 0)
                Listen();
            return;  // a client opens the line
        }
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
        if (!quietReady_) {
            std::printf("irig-unit-sim: ready on %s (link %s)\n", slave.c_str(),
                        settings_.link.c_str());
            std::fflush(stdout);
        }
    }

    void Close() {
        if (fd_ >= 0)
            close(fd_);
        if (slave_ >= 0)
            close(slave_);
        fd_ = slave_ = -1;
    }

    // Many units say once that they are ready, not each.
    static inline bool quietReady_ = false;

private:
    void Listen() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(settings_.port));
        if (inet_pton(AF_INET, settings_.address.c_str(), &address.sin_addr) != 1)
            Fail("--listen: not an IPv4 address: " + settings_.address);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_, 4) != 0)
            Fail("--listen: port " + std::to_string(settings_.port) + ": " + std::strerror(errno));
    }

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

    Where settings_;
    int fd_ = -1;
    int slave_ = -1;
    int listener_ = -1;
    std::string slavePath_;  // the pseudo-terminal this unit serves
};

// Bytes waiting for their time on the line.
struct Piece {
    Clock::time_point due;
    Bytes bytes;
};

// The faults a unit makes on demand; with --fault-units only the units named make them.
void ClearFaults(sim::Options& options) {
    options.silent = options.refuseFlashMode = options.silentAfterUpdate = false;
    options.forgetWrites = false;
    options.dropEcho = options.corruptEcho = options.failErase = options.hangUpAfter = 0;
}

// One unit and its line: the bytes it received and when they arrived, its replies paced on the
// line, a hung-up line opened again, and the host's delay between an answer and its next request.
class Served {
public:
    Served(const Settings& settings, const sim::Options& options, Line::Where where,
           bool lineFaults, std::function<void(const std::string&)> log, uint8_t* flashOut,
           unsigned seed)
        : unit_(options, std::move(log),
                [this, flashOut](uint32_t from, uint32_t size) {
                    if (flashOut != nullptr)
                        std::memcpy(flashOut + from, unit_.Flash().data() + from, size);
                }),
          line_(std::move(where)),
          random_(seed),
          byteTime_(settings.baud > 0 ? std::chrono::nanoseconds(10'000'000'000LL / settings.baud)
                                      : std::chrono::nanoseconds(0)),
          paced_(settings.baud > 0),
          split_(settings.split && lineFaults),
          junk_(settings.junk && lineFaults) {
        if (flashOut != nullptr)
            std::memcpy(flashOut, unit_.Flash().data(), sim::kFlashSize);
    }

    int fd() const { return line_.fd(); }
    int listener() const { return line_.listener(); }
    void Accept() { line_.Accept(); }
    // A TCP client that went: the port waits for the next.
    void DropClient() {
        line_.Close();
        out_.clear();
    }
    bool Writable(Clock::time_point now) const { return !out_.empty() && out_.front().due <= now; }

    // Sends what is due, hangs the line up or opens it again when due; when to wake next, if at
    // all.
    std::optional<Clock::time_point> Serve(Clock::time_point now) {
        for (Bytes& reply : unit_.Tick(now))
            Queue(std::move(reply), now);
        while (!out_.empty() && out_.front().due <= now && fd() >= 0) {
            Piece& piece = out_.front();
            const ssize_t written = write(fd(), piece.bytes.data(), piece.bytes.size());
            if (written < 0 && errno == EAGAIN)
                break;
            if (written < 0) {
                out_.clear();
                break;
            }
            piece.bytes.erase(piece.bytes.begin(), piece.bytes.begin() + written);
            if (piece.bytes.empty())
                out_.pop_front();
            if (out_.empty()) {
                waitingForHost_ = true;
                answeredAt_ = Clock::now();
            }
        }
        if (hangUpPending_ && out_.empty()) {
            unitLog_("hanging up the line");
            line_.Close();
            hangUpPending_ = false;
            reopening_ = true;
            reopenAt_ = now + std::chrono::milliseconds(300);
        }
        if (reopening_ && now >= reopenAt_) {
            reopening_ = false;
            line_.Open();
        }
        std::optional<Clock::time_point> wake = unit_.RebootDue();
        auto earliest = [&](Clock::time_point t) { wake = wake ? std::min(*wake, t) : t; };
        if (!out_.empty())
            earliest(out_.front().due);
        if (reopening_)
            earliest(reopenAt_);
        return wake;
    }

    // Reads what the host sent; false when the line failed.
    bool Read() {
        uint8_t buffer[4096];
        const ssize_t got = read(fd(), buffer, sizeof buffer);
        if (got > 0) {
            Receive(buffer, got);
            return true;
        }
        return got < 0 && (errno == EINTR || errno == EAGAIN);
    }

    void SetLog(std::function<void(const std::string&)> log) { unitLog_ = std::move(log); }
    Clock::duration HostDelay() const { return hostDelay_; }
    long HostTurns() const { return hostTurns_; }

private:
    void Receive(const uint8_t* buffer, ssize_t got) {
        const Clock::time_point arrived = Clock::now();
        if (waitingForHost_) {
            hostDelay_ += arrived - answeredAt_;
            ++hostTurns_;
            waitingForHost_ = false;
        }
        inputDone_ = std::max(inputDone_, arrived) + byteTime_ * static_cast<long>(got);
        // On a paced line the last byte arrives when the bytes before it have had their time on
        // the wire.
        for (Bytes& reply : unit_.Receive(buffer, static_cast<size_t>(got), inputDone_))
            Queue(std::move(reply), inputDone_);
        hangUpPending_ = hangUpPending_ || unit_.TakeHangUp();
    }

    // Puts one reply on the line: paced at the byte rate, after the request has "arrived".
    void Queue(Bytes reply, Clock::time_point ready) {
        if (junk_) {
            Bytes junk(1 + random_() % 4);
            for (uint8_t& b : junk)
                b = static_cast<uint8_t>(random_() % 0x80);  // never an escape
            reply.insert(reply.begin(), junk.begin(), junk.end());
        }
        Clock::time_point at = std::max(outputFree_, ready);
        for (size_t from = 0; from < reply.size();) {
            // Paced lines go out 16 bytes at a time; an unpaced one writes a reply whole.
            const size_t size = split_ ? 1 + random_() % 4 : paced_ ? 16 : reply.size();
            const size_t n = std::min(size, reply.size() - from);
            at += byteTime_ * static_cast<long>(n);
            if (split_)
                at += std::chrono::microseconds(500);
            out_.push_back({at, Bytes(reply.begin() + from, reply.begin() + from + n)});
            from += n;
        }
        outputFree_ = at;
    }

    sim::Unit unit_;
    Line line_;
    std::mt19937 random_;
    std::chrono::nanoseconds byteTime_;
    bool paced_;
    bool split_;
    bool junk_;
    std::function<void(const std::string&)> unitLog_ = [](const std::string&) {};
    Clock::time_point inputDone_{}, outputFree_{};
    std::deque<Piece> out_;
    bool hangUpPending_ = false;
    bool reopening_ = false;  // a hung-up line opens again at reopenAt_
    Clock::time_point reopenAt_{};
    // The host's own delay: from the last byte of an answer to the first of the next request.
    bool waitingForHost_ = false;
    Clock::time_point answeredAt_{};
    Clock::duration hostDelay_{};
    long hostTurns_ = 0;
};

// Many units hold two descriptors each: as many as the system lets this process have.
void RaiseFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The flash file is a shared mapping: what is programmed is in the file at once, without a system
// call per block. None without --flash-out.
uint8_t* MapFlashOut(const Settings& settings) {
    if (settings.flashOut.empty())
        return nullptr;
    if (settings.units > 0)
        Fail("--flash-out keeps one unit's flash; not with --units");
    const int file = open(settings.flashOut.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (file < 0 || ftruncate(file, sim::kFlashSize) != 0)
        Fail(settings.flashOut + ": " + std::strerror(errno));
    void* mapped = mmap(nullptr, sim::kFlashSize, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    if (mapped == MAP_FAILED)
        Fail(settings.flashOut + ": " + std::strerror(errno));
    close(file);
    return static_cast<uint8_t*>(mapped);
}

// Unit `number`'s log lines, said with --verbose.
std::function<void(const std::string&)> LogFor(const Settings& settings, int number) {
    const std::string prefix = settings.units > 0
                                   ? "irig-unit-sim: unit" + std::to_string(number) + ": "
                                   : "irig-unit-sim: ";
    return [&settings, prefix](const std::string& line) {
        if (settings.verbose)
            std::fprintf(stderr, "%s%s\n", prefix.c_str(), line.c_str());
    };
}

// With --units, each unit on its link or TCP port, the faults on those --fault-units names; then
// the ready line.
std::vector<std::unique_ptr<Served>> ManyUnits(const Settings& settings) {
    std::vector<std::unique_ptr<Served>> units;
    Line::quietReady_ = true;
    for (int number = 1; number <= settings.units; ++number) {
        const bool faulty = settings.faulty.empty() || settings.faulty[static_cast<size_t>(number)];
        sim::Options options = settings.unit;
        if (!faulty)
            ClearFaults(options);
        Line::Where where;
        if (settings.listenAddress.empty())
            where.link = settings.linkDir + "/unit" + std::to_string(number);
        else
            where = {{}, {}, settings.listenAddress, settings.firstPort + number - 1};
        units.push_back(std::make_unique<Served>(settings, options, std::move(where), faulty,
                                                 LogFor(settings, number), nullptr,
                                                 settings.seed + static_cast<unsigned>(number)));
        units.back()->SetLog(LogFor(settings, number));
    }
    if (settings.listenAddress.empty())
        std::printf("irig-unit-sim: ready: %d units, linked as %s/unit1 to unit%d\n",
                    settings.units, settings.linkDir.c_str(), settings.units);
    else
        std::printf("irig-unit-sim: ready: %d units on %s ports %d to %d\n", settings.units,
                    settings.listenAddress.c_str(), settings.firstPort,
                    settings.firstPort + settings.units - 1);
    std::fflush(stdout);
    return units;
}

// What poll() said of each descriptor: a listener's client accepted, a line read, a line gone.
void Dispatch(const std::vector<pollfd>& polled,
              const std::vector<std::pair<Served*, bool>>& owners) {
    for (size_t i = 0; i < polled.size(); ++i) {
        const short events = polled[i].revents;
        Served& unit = *owners[i].first;
        if (events == 0) {
            continue;
        } else if (owners[i].second) {
            unit.Accept();
        } else if ((events & POLLIN) != 0) {
            if (!unit.Read() && unit.listener() >= 0)
                unit.DropClient();  // a TCP client that went
        } else if ((events & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            if (unit.listener() < 0)
                Fail("the line failed");
            unit.DropClient();
        }
    }
}

// Serves the units until a signal to stop.
void Serve(const std::vector<std::unique_ptr<Served>>& units) {
    std::vector<pollfd> polled;
    std::vector<std::pair<Served*, bool>> owners;  // each polled descriptor's unit, and listener?
    while (!stopRequested) {
        const Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> wake;
        for (const auto& unit : units) {
            if (const std::optional<Clock::time_point> due = unit->Serve(now))
                wake = wake ? std::min(*wake, *due) : *due;
        }
        Served& only = *units.front();
        if (units.size() == 1 && !wake && only.fd() >= 0 && only.listener() < 0) {
            // Nothing is due but the host's next request: wait for it in read() itself, as a bare
            // echo would. A signal to stop ends the wait (as it ends poll()'s below, one that
            // comes just before the wait is seen at the next byte).
            if (!only.Read())
                Fail("the line failed");
            continue;
        }
        polled.clear();
        owners.clear();
        const Clock::time_point after = Clock::now();
        for (const auto& unit : units) {
            if (unit->listener() >= 0) {
                polled.push_back({unit->listener(), POLLIN, 0});
                owners.emplace_back(unit.get(), true);
            }
            if (unit->fd() >= 0) {
                polled.push_back(
                    {unit->fd(), static_cast<short>(POLLIN | (unit->Writable(after) ? POLLOUT : 0)),
                     0});
                owners.emplace_back(unit.get(), false);
            }
        }
        int timeout = -1;
        if (wake) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now());
            timeout = static_cast<int>(std::clamp<long long>(wait.count(), 0, 60'000));
        }
        if (poll(polled.data(), polled.size(), timeout) > 0)
            Dispatch(polled, owners);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    const Settings settings = Parse(argc, argv);
    struct sigaction action {};
    action.sa_handler = Stop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    RaiseFileLimit();

    uint8_t* flashOut = MapFlashOut(settings);
    std::vector<std::unique_ptr<Served>> units;
    if (settings.units == 0) {
        units.push_back(std::make_unique<Served>(
            settings, settings.unit, Line::Where{settings.link, settings.device, {}, 0}, true,
            LogFor(settings, 1), flashOut, settings.seed));
        units.back()->SetLog(LogFor(settings, 1));
    } else {
        units = ManyUnits(settings);
    }
    Serve(units);
    if (flashOut != nullptr)
        munmap(flashOut, sim::kFlashSize);
    if (settings.gaps) {
        std::fprintf(stderr, "irig-unit-sim: host delay %.3f ms over %ld answers\n",
                     std::chrono::duration<double, std::milli>(units.front()->HostDelay()).count(),
                     units.front()->HostTurns());
    }
    return 0;
}
