#include "web/authenticator.h"

#include <crypt.h>

#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <algorithm>
#include <chrono>
#include <vector>

namespace irig::web {

namespace {

// A client that failed a check within this long waits behind those that did not.
constexpr qint64 kFailedOfLateMs = 60'000;
constexpr int kMostClientsRemembered = 4096;

qint64 SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QByteArray Secret() {
    QByteArray secret(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(secret.data()),
                                          secret.size() / 4);
    return secret;
}

}  // namespace

struct Authenticator::Pending {
    // cppcheck-suppress unusedStructMember ; read in Finish
    QByteArray key;
    // cppcheck-suppress unusedStructMember ; read in Finish
    QByteArray user;
    QByteArray password;
    QByteArray hash;
    bool known = false;  // the user is one of the users (else `hash` is another's)
    // cppcheck-suppress unusedStructMember ; read in Finish
    QByteArray client;
    int generation = 0;
    std::vector<Done> waiters;
    bool failedOfLate = false;  // the client had, when its check began
};

std::optional<std::pair<QByteArray, QByteArray>> BasicCredentials(const QByteArray& header) {
    const QByteArray trimmed = header.trimmed();
    const qsizetype space = trimmed.indexOf(' ');
    if (space < 0 || trimmed.left(space).toLower() != "basic") {
        return std::nullopt;
    }
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        trimmed.mid(space + 1).trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    const QByteArray& text = decoded.decoded;
    const qsizetype colon = decoded ? text.indexOf(':') : -1;
    if (colon < 0 || text.contains('\0')) {
        return std::nullopt;
    }
    return std::pair{text.left(colon), text.mid(colon + 1)};
}

bool BcryptMatches(const QByteArray& password, const QByteArray& hash) {
    const auto data = std::make_unique<crypt_data>();
    const char* made = crypt_rn(password.constData(), hash.constData(), data.get(),
                                static_cast<int>(sizeof(crypt_data)));
    if (made == nullptr || qstrlen(made) != static_cast<size_t>(hash.size())) {
        return false;
    }
    char difference = 0;  // in the same time wherever the first difference is
    for (qsizetype i = 0; i < hash.size(); ++i) {
        difference = static_cast<char>(difference | (made[i] ^ hash[i]));
    }
    return difference == 0;
}

void Authenticator::Remembered::Add(const QByteArray& key, const QByteArray& user) {
    if (keys_.contains(key)) {
        return;
    }
    while (!order_.empty() && static_cast<int>(keys_.size()) >= most_) {
        keys_.remove(order_.front());
        order_.pop_front();
    }
    keys_.insert(key, user);
    order_.push_back(key);
}

void Authenticator::Remembered::Forget(const std::function<bool(const QByteArray& user)>& forget) {
    keys_.removeIf(
        [&](const QHash<QByteArray, QByteArray>::iterator& key) { return forget(key.value()); });
    std::erase_if(order_, [this](const QByteArray& key) { return !keys_.contains(key); });
}

Authenticator::Authenticator(CheckLimits limits, Matches matches, QObject* parent)
    : QObject(parent),
      limits_(limits),
      matches_(std::move(matches)),
      secret_(Secret()),
      good_(limits.remembered),
      wrong_(limits.remembered) {
    pool_.setMaxThreadCount(limits_.workers);
}

Authenticator::~Authenticator() {
    pool_.waitForDone();
}

void Authenticator::SetUsers(const std::map<QByteArray, QByteArray>& users) {
    if (users == users_) {
        return;
    }
    const auto changed = [&](const QByteArray& user) {
        const auto before = users_.find(user);
        const auto after = users.find(user);
        return (before == users_.end()) != (after == users.end()) ||
               (before != users_.end() && before->second != after->second);
    };
    good_.Forget(changed);
    wrong_.Forget(changed);
    users_ = users;
    ++generation_;
    dearest_.clear();
    for (const auto& [user, hash] : users_) {
        // $2y$NN$: the cost is two digits, so that the text orders as the number.
        if (dearest_.isEmpty() || hash.mid(4, 2) > dearest_.mid(4, 2)) {
            dearest_ = hash;
        }
    }
}

void Authenticator::Check(const QByteArray& authorization, const QByteArray& client, Done done) {
    if (users_.empty()) {
        done(Verdict::kAllowed);
        return;
    }
    const std::optional<std::pair<QByteArray, QByteArray>> credentials =
        BasicCredentials(authorization);
    if (!credentials) {
        done(Verdict::kRefused);
        return;
    }
    const auto& [user, password] = *credentials;
    const QByteArray key =
        QMessageAuthenticationCode::hash(QByteArray::number(user.size()) + ':' + user + password,
                                         secret_, QCryptographicHash::Sha256);
    if (good_.Has(key) || wrong_.Has(key)) {
        done(good_.Has(key) ? Verdict::kAllowed : Verdict::kRefused);
        return;
    }
    if (const auto checking = checking_.find(key); checking != checking_.end()) {
        checking->second->waiters.push_back(std::move(done));
        return;
    }
    const auto lane = lanes_.find(client);
    // A quarter of the slots is kept for the clients that have not failed of late.
    const int room =
        FailedOfLate(client) ? limits_.waiting - std::max(1, limits_.waiting / 4) : limits_.waiting;
    const bool full = waiting_ >= room && (lane != lanes_.end() || !MakeRoom());
    if (full || (lane != lanes_.end() &&
                 static_cast<int>(lane->second.size()) >= limits_.waitingPerClient)) {
        done(Verdict::kBusy);
        return;
    }
    // A user that is not one is checked against the dearest hash all the same, so that the time
    // of the answer does not tell which names are users.
    const auto found = users_.find(user);
    auto pending =
        std::make_shared<Pending>(Pending{key,
                                          user,
                                          password,
                                          found != users_.end() ? found->second : dearest_,
                                          found != users_.end(),
                                          client,
                                          generation_,
                                          {},
                                          false});
    pending->waiters.push_back(std::move(done));
    checking_.emplace(key, pending);
    lanes_[client].push_back(pending);
    ++waiting_;
    Start();
}

void Authenticator::Start() {
    while (running_ < limits_.workers && waiting_ > 0) {
        const Lanes::iterator lane = NextLane();
        const bool failedOfLate = FailedOfLate(lane->first);
        // A worker is kept for the clients that have not failed of late, so that one comes in
        // after at most its own check however many wrong passwords others send.
        if (failedOfLate && runningFailed_ >= std::max(1, limits_.workers - 1)) {
            return;
        }
        lastLane_ = lane->first;
        std::shared_ptr<Pending> pending = lane->second.front();
        pending->failedOfLate = failedOfLate;
        runningFailed_ += failedOfLate ? 1 : 0;
        lane->second.pop_front();
        if (lane->second.empty()) {
            lanes_.erase(lane);
        }
        --waiting_;
        ++running_;
        pool_.start([this, pending, matches = matches_, password = pending->password,
                     hash = pending->hash] {
            const bool matched = matches(password, hash);
            QMetaObject::invokeMethod(
                this, [this, pending, matched] { Finish(pending, matched); }, Qt::QueuedConnection);
        });
    }
}

// Room for a client with no check waiting, when all the slots are taken: the longest lane, a
// client's that failed of late before another's, gives up its newest check (answered busy), if it
// has more than one. So a flood from many addresses that have not failed yet cannot keep out a
// newcomer's first check.
bool Authenticator::MakeRoom() {
    const auto longest = std::max_element(lanes_.begin(), lanes_.end(), [this](auto& a, auto& b) {
        return std::pair(FailedOfLate(a.first), a.second.size()) <
               std::pair(FailedOfLate(b.first), b.second.size());
    });
    if (longest == lanes_.end() || longest->second.size() < 2) {
        return false;
    }
    const std::shared_ptr<Pending> given = longest->second.back();
    longest->second.pop_back();
    --waiting_;
    checking_.erase(given->key);
    for (const Done& done : given->waiters) {
        done(Verdict::kBusy);
    }
    return true;
}

// The lane after the one served last, among those of clients that have not failed of late if
// any has a check waiting.
Authenticator::Lanes::iterator Authenticator::NextLane() {
    for (const bool failed : {false, true}) {
        auto lane = lanes_.upper_bound(lastLane_);
        for (size_t i = 0; i < lanes_.size(); ++i, ++lane) {
            if (lane == lanes_.end()) {
                lane = lanes_.begin();
            }
            if (FailedOfLate(lane->first) == failed) {
                return lane;
            }
        }
    }
    return lanes_.begin();
}

void Authenticator::Finish(const std::shared_ptr<Pending>& pending, bool matches) {
    --running_;
    runningFailed_ -= pending->failedOfLate ? 1 : 0;
    checking_.erase(pending->key);
    // A check begun before the users changed is answered, but not remembered.
    const bool current = pending->generation == generation_;
    const bool allowed = matches && pending->known && current;
    if (current) {
        (allowed ? good_ : wrong_).Add(pending->key, pending->user);
    }
    if (!allowed) {
        NoteFailure(pending->client);
    }
    Start();
    for (const Done& done : pending->waiters) {
        done(allowed ? Verdict::kAllowed : Verdict::kRefused);
    }
}

bool Authenticator::FailedOfLate(const QByteArray& client) const {
    const auto failure = failures_.constFind(client);
    return failure != failures_.constEnd() && SteadyMs() - *failure < kFailedOfLateMs;
}

void Authenticator::NoteFailure(const QByteArray& client) {
    if (failures_.size() >= kMostClientsRemembered && !failures_.contains(client)) {
        const qint64 now = SteadyMs();
        failures_.removeIf([now](const QHash<QByteArray, qint64>::iterator& failure) {
            return now - failure.value() >= kFailedOfLateMs;
        });
        if (failures_.size() >= kMostClientsRemembered) {
            failures_.clear();
        }
    }
    failures_.insert(client, SteadyMs());
}

}  // namespace irig::web
