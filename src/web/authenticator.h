// Who may use the web edge: a request's Basic credentials checked against the web configuration's
// bcrypt hashes on a few threads of its own, never on the caller's. A good pair is remembered, and
// so is a wrong one, for as long as their user's hash stays; the checks that wait are bounded per
// client and overall, with slots kept for the clients that have not failed, and the clients that
// failed of late wait behind the others and never take the last worker. An unknown user costs a
// wrong password of the dearest user. What a request is then answered is the edge's.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QThreadPool>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>

namespace irig::web {

enum class Verdict {
    kAllowed,
    kRefused,  // no credentials, malformed ones or wrong ones: 401
    kBusy,     // too many checks wait already: 429
};

struct CheckLimits {
    int workers = 2;           // bcrypt checks at once
    int waitingPerClient = 4;  // checks that wait for a worker, of one client
    int waiting = 32;          // of all clients
    int remembered = 1024;     // good pairs, and as many wrong ones
};

// The user name and password of a Basic Authorization header; nothing for any other, nor for a
// name or password with a NUL byte.
std::optional<std::pair<QByteArray, QByteArray>> BasicCredentials(const QByteArray& header);

// Whether `password` is the one the bcrypt `hash` was made of, by the system's crypt library.
bool BcryptMatches(const QByteArray& password, const QByteArray& hash);

class Authenticator final : public QObject {
    Q_OBJECT

public:
    using Done = std::function<void(Verdict)>;
    // Whether a password matches a hash; called on the workers' threads.
    using Matches = std::function<bool(const QByteArray& password, const QByteArray& hash)>;

    explicit Authenticator(CheckLimits limits = {}, Matches matches = BcryptMatches,
                           QObject* parent = nullptr);
    ~Authenticator() override;
    Authenticator(const Authenticator&) = delete;
    Authenticator& operator=(const Authenticator&) = delete;

    // The users from now on (name: bcrypt hash; none: everyone is allowed). What was remembered of
    // a user whose hash changed (or who came or went) is forgotten.
    void SetUsers(const std::map<QByteArray, QByteArray>& users);

    // Calls `done` with the verdict on the Authorization header of a request from `client`: before
    // it returns where no check is needed (no users, no credentials or malformed ones, a pair
    // remembered, too many checks waiting), else in this object's thread once a worker has
    // checked the password. The same pair asked again meanwhile waits for the same check.
    void Check(const QByteArray& authorization, const QByteArray& client, Done done);

private:
    struct Pending;
    // A bounded set of keys, each with its user: the oldest key goes for a newcomer.
    class Remembered {
    public:
        explicit Remembered(int most) : most_(most) {}
        bool Has(const QByteArray& key) const { return keys_.contains(key); }
        void Add(const QByteArray& key, const QByteArray& user);
        // Forgets the keys of the users `forget` says.
        void Forget(const std::function<bool(const QByteArray& user)>& forget);

    private:
        int most_;
        QHash<QByteArray, QByteArray> keys_;
        std::deque<QByteArray> order_;
    };
    using Lanes = std::map<QByteArray, std::deque<std::shared_ptr<Pending>>>;

    void Start();
    Lanes::iterator NextLane();
    bool MakeRoom();
    void Finish(const std::shared_ptr<Pending>& pending, bool matches);
    bool FailedOfLate(const QByteArray& client) const;
    void NoteFailure(const QByteArray& client);

    const CheckLimits limits_;
    const Matches matches_;
    const QByteArray secret_;  // keys the remembered pairs
    std::map<QByteArray, QByteArray> users_;
    QByteArray dearest_;  // the hash of the highest cost, which an unknown user is checked with
    int generation_ = 0;  // of the users
    Remembered good_;
    Remembered wrong_;
    std::map<QByteArray, std::shared_ptr<Pending>> checking_;  // waiting or running, by key
    Lanes lanes_;                                              // the checks that wait, by client
    QByteArray lastLane_;
    int waiting_ = 0;
    int running_ = 0;
    int runningFailed_ = 0;               // of clients that had failed of late
    QHash<QByteArray, qint64> failures_;  // each client's last, by the steady clock
    QThreadPool pool_;
};

}  // namespace irig::web
