#include "web/edge.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QHash>
#include <QMutexLocker>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "web/credentials.h"
#include "web/framing.h"

namespace irig::web {

namespace {

// Every header of a request as the library parsed it, repeated ones included, names in lower case.
Headers HeadersOf(MHD_Connection* mhd) {
    Headers headers;
    MHD_get_connection_values_n(
        mhd, MHD_HEADER_KIND,
        [](void* list, MHD_ValueKind, const char* name, size_t nameSize, const char* value,
           size_t valueSize) {
            static_cast<Headers*>(list)->emplace_back(
                QByteArray(name, static_cast<qsizetype>(nameSize)).toLower(),
                QByteArray(value, static_cast<qsizetype>(valueSize)));
            return MHD_YES;
        },
        &headers);
    return headers;
}

// Connections libmicrohttpd takes beyond the cap, so that a newcomer reaches the edge, which
// then closes one to make room.
constexpr int kHeadroom = 16;
// How many times the body cap a body is read and discarded, for its 413, before its connection is
// closed unanswered.
constexpr qint64 kDiscardedBodies = 16;

qint64 NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// An address as the edge tells its clients apart: an IPv4 address, or an IPv6 address's /64;
// and as text.
struct Peer {
    QByteArray client;
    QString text;
    bool loopback = false;
};

Peer PeerOf(const sockaddr* address) {
    Peer peer;
    char text[INET6_ADDRSTRLEN] = {};
    if (address != nullptr && address->sa_family == AF_INET) {
        const in_addr four = reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
        inet_ntop(AF_INET, &four, text, sizeof text);
        peer.client = QByteArray::number(ntohl(four.s_addr));
        peer.loopback = (ntohl(four.s_addr) >> 24) == 127;
    } else if (address != nullptr && address->sa_family == AF_INET6) {
        const in6_addr six = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&six)) {
            sockaddr_in four{};
            four.sin_family = AF_INET;
            std::memcpy(&four.sin_addr, six.s6_addr + 12, 4);
            return PeerOf(reinterpret_cast<const sockaddr*>(&four));
        }
        inet_ntop(AF_INET6, &six, text, sizeof text);
        peer.client = QByteArray(reinterpret_cast<const char*>(six.s6_addr), 8).toHex();
        peer.loopback = IN6_IS_ADDR_LOOPBACK(&six);
    }
    peer.text = QString::fromLatin1(text);
    return peer;
}

struct Connection {
    Edge::Shared* shared = nullptr;
    MHD_Connection* mhd = nullptr;
    int fd = -1;
    Peer peer;
    void* session = nullptr;  // with TLS
    qint64 since = 0;         // its start, or its last reply
    bool line = false;        // the request line of its next request came
    bool busy = false;        // a request received whole, not yet answered
    bool anyRequest = false;
    std::optional<Closed> closing;                   // closed by the edge
    bool verified = false;                           // its client certificate
    std::shared_ptr<const Credentials> credentials;  // handed at its handshake
};

struct Exchange {
    Connection* connection = nullptr;
    MHD_Connection* mhd = nullptr;
    bool headDone = false;
    bool dispatched = false;
    bool abandoned = false;
    bool refused = false;
    bool tooLarge = false;  // its body, discarded to its end for the 413 to follow
    qint64 body = 0;
    quint64 id = 0;
    MHD_Response* response = nullptr;
    int status = 0;
    std::function<void(bool)> delivered;
};

// The connections with TLS by their GnuTLS session, for the certificate callback, which is told
// nothing else.
QMutex sessionsMutex;
QHash<void*, Connection*> sessions;

void Quiet(void*, const char*, va_list) {}

void FreeCopy(void* copy) {
    std::free(copy);
}

}  // namespace

QByteArray Request::Header(const QByteArray& lowerName) const {
    const auto found = std::find_if(headers.begin(), headers.end(),
                                    [&](const auto& header) { return header.first == lowerName; });
    return found == headers.end() ? QByteArray() : found->second;
}

struct Edge::Shared : std::enable_shared_from_this<Edge::Shared> {
    explicit Shared(const Limits& given) : limits(given) {}

    const Limits limits;
    mutable QMutex mutex;
    Handler handler;
    WebConfig web;
    std::shared_ptr<const Credentials> credentials;
    std::vector<MHD_Daemon*> daemons;  // the last listens; those before are quiesced
    std::vector<QByteArray> kept;      // what the daemons were given and keep pointers to
    QByteArray address;
    quint16 port = 0;
    QString local;
    std::vector<Connection*> connections;
    std::map<quint64, Exchange*> suspended;
    quint64 nextId = 0;
    bool stopped = false;
    Counts counts;
    QObject* context = nullptr;  // in the edge's thread
    Authenticator* authenticator = nullptr;

    MHD_Daemon* Start(int listening, QString* why);
    void Admit(Connection& connection);
    void Shut(Connection& connection, Closed why);
    void Sweep();
    MHD_Response* Build(const Reply& reply) const;
    MHD_Result Refuse(MHD_Connection* mhd, Exchange& exchange, const Refusal& refusal);
    MHD_Result First(MHD_Connection* mhd, Exchange& exchange, const char* version);
    void Dispatch(MHD_Connection* mhd, Exchange& exchange, const char* method, const char* path);
    void Serve(Request request, quint64 id, const QByteArray& client);
    void Answer(quint64 id, Reply reply);
    void Tell(std::function<void(bool)> delivered, bool whole) const;

    static MHD_Result Access(void* cls, MHD_Connection* mhd, const char* url, const char* method,
                             const char* version, const char* upload, size_t* size, void** slot);
    static void* Began(void* cls, const char* target, MHD_Connection* mhd);
    static void Completed(void* cls, MHD_Connection* mhd, void** slot,
                          MHD_RequestTerminationCode why);
    static void Notified(void* cls, MHD_Connection* mhd, void** slot,
                         MHD_ConnectionNotificationCode what);
    static int Certificate(gnutls_session_t session, const gnutls_datum_t*, int,
                           const gnutls_pk_algorithm_t*, int, gnutls_pcert_st** chain,
                           unsigned int* length, gnutls_privkey_t* key);
};

MHD_Daemon* Edge::Shared::Start(int listening, QString* why) {
    const bool six = address.contains(':');
    sockaddr_storage bound{};
    if (six) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&bound);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        inet_pton(AF_INET6, address.constData(), &in6->sin6_addr);
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&bound);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        inet_pton(AF_INET, address.constData(), &in4->sin_addr);
    }
    const auto pointer = [](auto function) { return reinterpret_cast<intptr_t>(function); };
    std::vector<MHD_OptionItem> options{
        {MHD_OPTION_CONNECTION_LIMIT, limits.maxConnections + kHeadroom, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(limits.memoryBytes), nullptr},
        // A backstop for a body or a reply that crawls; the head's deadline is the edge's own.
        {MHD_OPTION_CONNECTION_TIMEOUT, std::max(1, limits.headMs / 1000 + 1), nullptr},
        {MHD_OPTION_STRICT_FOR_CLIENT, 1, nullptr},
        {MHD_OPTION_NOTIFY_CONNECTION, pointer(&Notified), this},
        {MHD_OPTION_NOTIFY_COMPLETED, pointer(&Completed), this},
        {MHD_OPTION_URI_LOG_CALLBACK, pointer(&Began), this},
        {MHD_OPTION_EXTERNAL_LOGGER, pointer(&Quiet), nullptr},
        listening >= 0 ? MHD_OptionItem{MHD_OPTION_LISTEN_SOCKET, listening, nullptr}
                       : MHD_OptionItem{MHD_OPTION_SOCK_ADDR, 0, &bound},
    };
    unsigned int flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME |
                         (six ? static_cast<unsigned int>(MHD_USE_IPv6) : 0u);
    if (web.tls) {
        flags |= MHD_USE_TLS;
        kept.push_back(web.tls->priorities);
        options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, kept.back().data()});
        options.push_back(
            {MHD_OPTION_HTTPS_CERT_CALLBACK, 0, reinterpret_cast<void*>(&Certificate)});
        if (web.tls->VerifiesClients()) {
            // Makes the library ask for a certificate; the edge verifies it, against its own list.
            kept.push_back(web.tls->clientCaPem);
            options.push_back({MHD_OPTION_HTTPS_MEM_TRUST, 0, kept.back().data()});
        }
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    errno = 0;
    MHD_Daemon* daemon = MHD_start_daemon(flags, port, nullptr, nullptr, &Access, this,
                                          MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    if (daemon == nullptr) {
        *why = errno != 0 ? QString::fromLocal8Bit(std::strerror(errno))
                          : QStringLiteral("libmicrohttpd could not start");
    }
    return daemon;
}

// A newcomer within the caps, or room made for it: the oldest connection whose request is not
// yet whole goes (an idle one, a slow head, a handshake), else the newcomer.
void Edge::Shared::Admit(Connection& connection) {
    const auto open = [](const Connection* other) { return !other->closing; };
    const auto same = std::count_if(connections.begin(), connections.end(), [&](auto* other) {
        return open(other) && other->peer.client == connection.peer.client;
    });
    if (same > limits.perAddress) {
        Shut(connection, Closed::kAddressCap);
        return;
    }
    if (std::count_if(connections.begin(), connections.end(), open) <= limits.maxConnections) {
        return;
    }
    Connection* oldest = nullptr;
    for (Connection* other : connections) {
        if (open(other) && !other->busy && other != &connection &&
            (oldest == nullptr || other->since < oldest->since)) {
            oldest = other;
        }
    }
    Shut(oldest != nullptr ? *oldest : connection, Closed::kFull);
}

// The library sees the connection end at its next read, and cleans it up as its own.
void Edge::Shared::Shut(Connection& connection, Closed why) {
    if (!connection.closing) {
        connection.closing = why;
        ::shutdown(connection.fd, SHUT_RDWR);
    }
}

void Edge::Shared::Sweep() {
    const QMutexLocker lock(&mutex);
    const qint64 now = NowMs();
    for (Connection* connection : connections) {
        if (!connection->busy && now - connection->since > limits.headMs) {
            Shut(*connection, connection->line ? Closed::kSlowHead : Closed::kIdle);
        }
    }
}

MHD_Response* Edge::Shared::Build(const Reply& reply) const {
    void* copy = std::malloc(static_cast<size_t>(std::max<qsizetype>(1, reply.body.size())));
    std::memcpy(copy, reply.body.constData(), static_cast<size_t>(reply.body.size()));
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        static_cast<size_t>(reply.body.size()), copy, &FreeCopy, copy);
    if (response == nullptr) {
        std::free(copy);
        return nullptr;
    }
    MHD_add_response_header(response, "Content-Type", reply.contentType.constData());
    for (const auto& headers : {&web.headers, &reply.headers}) {
        for (const auto& [name, value] : *headers) {
            MHD_add_response_header(response, name.constData(), value.constData());
        }
    }
    return response;
}

MHD_Result Edge::Shared::Refuse(MHD_Connection* mhd, Exchange& exchange, const Refusal& refusal) {
    Reply reply{refusal.status, "text/plain", "refused: " + refusal.why + '\n', {}, {}};
    reply.headers.emplace_back("Connection", "close");
    MHD_Response* response = nullptr;
    {
        const QMutexLocker lock(&mutex);
        response = Build(reply);
    }
    if (response == nullptr) {
        return MHD_NO;
    }
    exchange.status = refusal.status;
    exchange.refused = true;
    const MHD_Result queued =
        MHD_queue_response(mhd, static_cast<unsigned int>(refusal.status), response);
    MHD_destroy_response(response);
    return queued;
}

// The head is whole: its client certificate and its framing.
MHD_Result Edge::Shared::First(MHD_Connection* mhd, Exchange& exchange, const char* version) {
    exchange.headDone = true;
    Connection* connection = exchange.connection;
    std::shared_ptr<const Credentials> trusted;
    bool verify = false;
    {
        const QMutexLocker lock(&mutex);
        verify = web.tls && web.tls->VerifiesClients() && connection != nullptr &&
                 connection->session != nullptr && !connection->verified;
        trusted = credentials;
    }
    if (verify) {
        if (trusted == nullptr ||
            !trusted->Verifies(static_cast<gnutls_session_t>(connection->session))) {
            return MHD_NO;
        }
        connection->verified = true;
    }
    const Headers headers = HeadersOf(mhd);
    if (const auto refusal = CheckFraming(version, headers, limits.maxBodyBytes)) {
        return Refuse(mhd, exchange, *refusal);
    }
    return MHD_YES;
}

MHD_Result Edge::Shared::Access(void* cls, MHD_Connection* mhd, const char* url, const char* method,
                                const char* version, const char*, size_t* size, void** slot) {
    auto& shared = *static_cast<Shared*>(cls);
    auto* exchange = static_cast<Exchange*>(*slot);
    if (exchange == nullptr) {
        return MHD_NO;
    }
    if (!exchange->headDone) {
        return shared.First(mhd, *exchange, version);
    }
    if (*size > 0) {
        exchange->body += static_cast<qint64>(*size);
        *size = 0;
        exchange->tooLarge = exchange->body > shared.limits.maxBodyBytes;
        // The library takes no reply before the body's end: a body far too large is not read on.
        return exchange->body > kDiscardedBodies * shared.limits.maxBodyBytes ? MHD_NO : MHD_YES;
    }
    if (exchange->refused) {
        return MHD_YES;  // the reply is on its way
    }
    if (exchange->tooLarge) {
        return shared.Refuse(mhd, *exchange, {413, "the body is too large"});
    }
    if (!exchange->dispatched) {
        shared.Dispatch(mhd, *exchange, method, url);
        return MHD_YES;
    }
    if (exchange->response == nullptr) {
        return MHD_NO;  // the edge stops
    }
    MHD_Response* response = std::exchange(exchange->response, nullptr);
    const MHD_Result queued =
        MHD_queue_response(mhd, static_cast<unsigned int>(exchange->status), response);
    MHD_destroy_response(response);
    return queued;
}

// The request as a value to the edge's thread; the connection waits for its reply.
void Edge::Shared::Dispatch(MHD_Connection* mhd, Exchange& exchange, const char* method,
                            const char* path) {
    exchange.dispatched = true;
    exchange.mhd = mhd;
    Request request;
    request.method = method;
    if (request.method == "HEAD") {
        request.method = "GET";  // the library sends no body to HEAD
    }
    request.path = QString::fromUtf8(path);
    MHD_get_connection_values_n(
        mhd, MHD_GET_ARGUMENT_KIND,
        [](void* query, MHD_ValueKind, const char* name, size_t nameSize, const char* value,
           size_t valueSize) {
            const auto encoded = [](const char* text, size_t size) {
                return QString::fromLatin1(
                    QUrl::toPercentEncoding(QString::fromUtf8(text, static_cast<qsizetype>(size))));
            };
            static_cast<QUrlQuery*>(query)->addQueryItem(
                encoded(name, nameSize), value != nullptr ? encoded(value, valueSize) : QString());
            return MHD_YES;
        },
        &request.query);
    request.headers = HeadersOf(mhd);
    QByteArray client;
    if (Connection* connection = exchange.connection) {
        request.peer = connection->peer.text;
        request.loopback = connection->peer.loopback;
        request.tls = connection->session != nullptr;
        client = connection->peer.client;
    }
    {
        const QMutexLocker lock(&mutex);
        if (exchange.connection != nullptr) {
            exchange.connection->busy = true;
        }
        request.local = local;
        exchange.id = nextId++;
        suspended.emplace(exchange.id, &exchange);
    }
    MHD_suspend_connection(mhd);
    QMetaObject::invokeMethod(
        context,
        [self = shared_from_this(), request = std::move(request), id = exchange.id,
         client]() mutable { self->Serve(std::move(request), id, client); },
        Qt::QueuedConnection);
}

// In the edge's thread: the users, then the handler.
void Edge::Shared::Serve(Request request, quint64 id, const QByteArray& client) {
    const QByteArray authorization = request.Header("authorization");
    authenticator->Check(
        authorization, client,
        [self = shared_from_this(), request, id, authorization](Verdict verdict) mutable {
            const Respond respond = [self, id](Reply reply) { self->Answer(id, std::move(reply)); };
            if (verdict == Verdict::kRefused) {
                respond({401,
                         "text/plain",
                         "a user name and password are needed\n",
                         {{"WWW-Authenticate", "Basic realm=\"irigctl monitor\""}},
                         {}});
            } else if (verdict == Verdict::kBusy) {
                respond({429,
                         "text/plain",
                         "too many passwords to check at once\n",
                         {{"Retry-After", "1"}},
                         {}});
            } else {
                if (const auto credentials = BasicCredentials(authorization)) {
                    request.user = credentials->first;
                }
                self->handler(request, respond);
            }
        });
}

void Edge::Shared::Answer(quint64 id, Reply reply) {
    QMutexLocker lock(&mutex);
    const auto found = suspended.find(id);
    if (found == suspended.end()) {
        lock.unlock();
        Tell(std::move(reply.delivered), false);
        return;
    }
    Exchange& exchange = *found->second;
    suspended.erase(found);
    exchange.response = Build(reply);
    exchange.status = reply.status;
    exchange.delivered = std::move(reply.delivered);
    MHD_resume_connection(exchange.mhd);
}

void Edge::Shared::Tell(std::function<void(bool)> delivered, bool whole) const {
    const QMutexLocker lock(&mutex);
    if (delivered && context != nullptr) {
        QMetaObject::invokeMethod(
            context, [delivered = std::move(delivered), whole] { delivered(whole); },
            Qt::QueuedConnection);
    }
}

void* Edge::Shared::Began(void* cls, const char*, MHD_Connection* mhd) {
    auto& shared = *static_cast<Shared*>(cls);
    auto* exchange = new Exchange;
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (info != nullptr && info->socket_context != nullptr) {
        exchange->connection = static_cast<Connection*>(info->socket_context);
        const QMutexLocker lock(&shared.mutex);
        exchange->connection->line = true;
        exchange->connection->anyRequest = true;
    }
    return exchange;
}

void Edge::Shared::Completed(void* cls, MHD_Connection* mhd, void** slot,
                             MHD_RequestTerminationCode why) {
    auto& shared = *static_cast<Shared*>(cls);
    std::unique_ptr<Exchange> exchange(static_cast<Exchange*>(*slot));
    *slot = nullptr;
    int status = exchange != nullptr ? exchange->status : 0;
    if (status == 0) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_HTTP_STATUS);
        status = info != nullptr ? static_cast<int>(info->http_status) : 0;
    }
    {
        const QMutexLocker lock(&shared.mutex);
        if (status > 0) {
            ++shared.counts.responses[status];
        }
        if (exchange != nullptr) {
            shared.suspended.erase(exchange->id);
            if (Connection* connection = exchange->connection) {
                connection->since = NowMs();
                connection->line = false;
                connection->busy = false;
            }
        }
    }
    if (exchange != nullptr) {
        if (exchange->response != nullptr) {
            MHD_destroy_response(exchange->response);
        }
        shared.Tell(std::move(exchange->delivered),
                    why == MHD_REQUEST_TERMINATED_COMPLETED_OK && !exchange->abandoned);
    }
}

void Edge::Shared::Notified(void* cls, MHD_Connection* mhd, void** slot,
                            MHD_ConnectionNotificationCode what) {
    auto& shared = *static_cast<Shared*>(cls);
    if (what == MHD_CONNECTION_NOTIFY_STARTED) {
        auto* connection = new Connection;
        connection->shared = &shared;
        connection->mhd = mhd;
        connection->since = NowMs();
        if (const auto* info = MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_CONNECTION_FD)) {
            connection->fd = info->connect_fd;
        }
        if (const auto* info = MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_CLIENT_ADDRESS)) {
            connection->peer = PeerOf(info->client_addr);
        }
        if (const auto* info = MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_GNUTLS_SESSION)) {
            connection->session = info->tls_session;
        }
        *slot = connection;
        if (connection->session != nullptr) {
            const QMutexLocker lock(&sessionsMutex);
            sessions.insert(connection->session, connection);
        }
        const QMutexLocker lock(&shared.mutex);
        shared.connections.push_back(connection);
        shared.Admit(*connection);
        return;
    }
    std::unique_ptr<Connection> connection(static_cast<Connection*>(*slot));
    *slot = nullptr;
    if (connection == nullptr) {
        return;
    }
    if (connection->session != nullptr) {
        const QMutexLocker lock(&sessionsMutex);
        sessions.remove(connection->session);
    }
    const QMutexLocker lock(&shared.mutex);
    std::erase(shared.connections, connection.get());
    if (connection->closing) {
        ++shared.counts.closed[*connection->closing];
    } else if (connection->session != nullptr && !connection->anyRequest) {
        ++shared.counts.closed[Closed::kTlsHandshake];
    }
}

int Edge::Shared::Certificate(gnutls_session_t session, const gnutls_datum_t*, int,
                              const gnutls_pk_algorithm_t*, int, gnutls_pcert_st** chain,
                              unsigned int* length, gnutls_privkey_t* key) {
    const QMutexLocker lock(&sessionsMutex);
    Connection* connection = sessions.value(session);
    if (connection == nullptr) {
        return -1;
    }
    {
        const QMutexLocker held(&connection->shared->mutex);
        connection->credentials = connection->shared->credentials;
    }
    return connection->credentials != nullptr ? connection->credentials->Hand(chain, length, key)
                                              : -1;
}

Edge::Edge(const Limits& limits) : shared_(std::make_shared<Shared>(limits)) {
    thread_.setObjectName(QStringLiteral("web"));
    thread_.start();
    Shared& shared = *shared_;
    shared.context = new QObject;
    shared.context->moveToThread(&thread_);
    QMetaObject::invokeMethod(
        shared.context,
        [&shared] {
            shared.authenticator =
                new Authenticator(shared.limits.checks, BcryptMatches, shared.context);
            auto* sweep = new QTimer(shared.context);
            QObject::connect(sweep, &QTimer::timeout, sweep, [&shared] { shared.Sweep(); });
            sweep->start(std::clamp(shared.limits.headMs / 8, 10, 1000));
        },
        Qt::BlockingQueuedConnection);
}

Edge::~Edge() {
    Stop();
    QObject* context = nullptr;
    {
        const QMutexLocker lock(&shared_->mutex);
        context = std::exchange(shared_->context, nullptr);
    }
    QMetaObject::invokeMethod(
        context, [context] { delete context; }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
}

void Edge::SetHandler(Handler handler) {
    shared_->handler = std::move(handler);
}

void Edge::SetConfig(const WebConfig& web) {
    Shared& shared = *shared_;
    std::shared_ptr<const Credentials> credentials =
        web.tls ? Credentials::Load(*web.tls) : nullptr;
    bool restart = false;
    {
        const QMutexLocker lock(&shared.mutex);
        const auto mode = [](const WebConfig& config) {
            return std::tuple{config.tls.has_value(), config.tls && config.tls->VerifiesClients(),
                              config.tls ? config.tls->priorities : QByteArray()};
        };
        restart = !shared.daemons.empty() && !shared.stopped && mode(shared.web) != mode(web);
        shared.web = web;
        shared.credentials = std::move(credentials);
    }
    QMetaObject::invokeMethod(
        shared.context, [&shared, users = web.users] { shared.authenticator->SetUsers(users); },
        QThread::currentThread() == &thread_ ? Qt::DirectConnection : Qt::BlockingQueuedConnection);
    if (restart) {
        const MHD_socket listening = MHD_quiesce_daemon(shared.daemons.back());
        QString why;
        if (MHD_Daemon* daemon = shared.Start(listening, &why)) {
            const QMutexLocker lock(&shared.mutex);
            shared.daemons.push_back(daemon);
        } else if (listening != MHD_INVALID_SOCKET) {
            ::close(listening);
        }
    }
}

quint16 Edge::Listen(const QString& address, quint16 port, QString* why) {
    Shared& shared = *shared_;
    shared.address = address.toLatin1();
    shared.port = port;
    MHD_Daemon* daemon = shared.Start(-1, why);
    if (daemon == nullptr) {
        return 0;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
    const QMutexLocker lock(&shared.mutex);
    shared.daemons.push_back(daemon);
    shared.port = info != nullptr ? info->port : port;
    shared.local =
        (address.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2"))
            .arg(address)
            .arg(shared.port);
    return shared.port;
}

void Edge::Stop() {
    Shared& shared = *shared_;
    std::vector<MHD_Daemon*> daemons;
    {
        const QMutexLocker lock(&shared.mutex);
        if (shared.stopped) {
            return;
        }
        shared.stopped = true;
        daemons = shared.daemons;
        if (!daemons.empty()) {
            const MHD_socket listening = MHD_quiesce_daemon(daemons.back());
            if (listening != MHD_INVALID_SOCKET) {
                ::close(listening);
            }
        }
        for (const auto& [id, exchange] : shared.suspended) {
            exchange->abandoned = true;
            MHD_resume_connection(exchange->mhd);
        }
        shared.suspended.clear();
    }
    for (MHD_Daemon* daemon : daemons) {
        MHD_stop_daemon(daemon);
    }
}

Counts Edge::Counted() const {
    const QMutexLocker lock(&shared_->mutex);
    return shared_->counts;
}

}  // namespace irig::web
