// Hostile clients of the web edge, from raw bytes to the reply: an input is a netrc file, a NUL,
// then what a client sends, in which {auth} stands for the Basic credentials the netrc gives
// 127.0.0.1. Whatever comes, the edge answers in HTTP/1.1 or closes, within a bounded reply and
// time, and never crashes (the edge runs in this process, under the sanitizers).
#include <arpa/inet.h>
#include <crypt.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>

#include "check.h"
#include "lease/netrc.h"
#include "web/edge.h"

namespace {

// The edge, with one user (u, password p, bcrypt at the lowest cost) and small limits.
quint16 EdgePort() {
    static int argc = 1;
    static char name[] = "edge_fuzzer";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    static irig::web::Edge edge({8, 8, 4096, 1024, 100, {}});
    static const quint16 port = [] {
        char salt[CRYPT_GENSALT_OUTPUT_SIZE] = {};
        crypt_data data{};
        crypt_gensalt_rn("$2b$", 4, nullptr, 0, salt, sizeof salt);
        const char* hash = crypt_rn("p", salt, &data, sizeof data);
        edge.SetConfig({std::nullopt, {{"u", QByteArray(hash)}}, {{"X-Frame-Options", "deny"}}});
        edge.SetHandler([](const irig::web::Request& request, const irig::web::Respond& respond) {
            respond({200, "text/plain", request.path.toUtf8() + ' ' + request.user, {}, {}});
        });
        QString why;
        return edge.Listen(QStringLiteral("127.0.0.1"), 0, &why);
    }();
    return port;
}

QByteArray Exchange(const QByteArray& sent) {
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(EdgePort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Check(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0,
          "the edge listens");
    (void)::send(client, sent.constData(), static_cast<size_t>(sent.size()), MSG_NOSIGNAL);
    ::shutdown(client, SHUT_WR);
    QByteArray got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    pollfd wait{client, POLLIN, 0};
    while (std::chrono::steady_clock::now() < end && ::poll(&wait, 1, 100) >= 0) {
        char buffer[4096];
        const ssize_t read = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
        if (read == 0 || (read < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
            ::close(client);
            return got;
        }
        if (read > 0) {
            got.append(buffer, read);
        }
        Check(got.size() < 256 * 1024, "a bounded reply");
    }
    ::close(client);
    Check(false, "the edge answers or closes within its deadline");
    return got;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype nul = input.indexOf('\0');
    QByteArray sent = nul < 0 ? input : input.mid(nul + 1);
    if (nul >= 0) {
        const auto credentials =
            irig::lease::NetrcCredentials(input.left(nul), QStringLiteral("127.0.0.1"));
        sent.replace("{auth}", credentials ? "Basic " + (credentials->login + QLatin1Char(':') +
                                                         credentials->password)
                                                            .toUtf8()
                                                            .toBase64()
                                           : QByteArray());
    }
    const QByteArray got = Exchange(sent);
    Check(got.isEmpty() || got.startsWith("HTTP/1.1 ") || got.startsWith("HTTP/1.0 "),
          "nothing but HTTP");
    return 0;
}
