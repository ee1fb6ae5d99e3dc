// Who gets in: each form of Authorization header with its verdict by real bcrypt, and, with checks
// that wait until the test lets them go, that a pair is checked once and then remembered, that the
// checks that wait are bounded, and that a client that failed waits behind those that did not.
#include "web/authenticator.h"

#include <gtest/gtest.h>

#include <QSemaphore>
#include <algorithm>
#include <mutex>

#include "support/tlsfiles.h"
#include "support/wait.h"

namespace irig::web {
namespace {

using test::BasicAuthorization;

struct HeaderRow {
    const char* name;
    QByteArray header;
    Verdict verdict;
};

class Headers : public testing::TestWithParam<HeaderRow> {};

TEST_P(Headers, GetTheirVerdictFromBcrypt) {
    Authenticator authenticator;
    authenticator.SetUsers({{"prometheus", test::BcryptHash("s3cret")}});
    std::optional<Verdict> verdict;
    authenticator.Check(GetParam().header, "client", [&](Verdict given) { verdict = given; });
    ASSERT_TRUE(test::WaitUntil([&] { return verdict.has_value(); }));
    EXPECT_EQ(*verdict, GetParam().verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Authenticator, Headers,
    testing::Values(
        HeaderRow{"good", BasicAuthorization("prometheus", "s3cret"), Verdict::kAllowed},
        HeaderRow{"wrong_password", BasicAuthorization("prometheus", "s3cre"), Verdict::kRefused},
        HeaderRow{"unknown_user", BasicAuthorization("root", "s3cret"), Verdict::kRefused},
        HeaderRow{"missing", "", Verdict::kRefused},
        HeaderRow{"nul_after_the_password",
                  BasicAuthorization("prometheus", QByteArray("s3cret\0more", 11)),
                  Verdict::kRefused}),
    [](const testing::TestParamInfo<HeaderRow>& row) { return row.param.name; });

// One worker (unless said), 2 checks waiting of a client, 3 in all; "good" is the password. The
// passwords in the order their checks began.
class Gated : public testing::Test {
protected:
    explicit Gated(int workers = 1)
        : authenticator({workers, 2, 3, 8},
                        [this](const QByteArray& password, const QByteArray& hash) {
                            {
                                const std::lock_guard lock(mutex);
                                begun.push_back(password);
                                hashes.push_back(hash);
                            }
                            go.acquire();
                            return password == "good";
                        }) {
        authenticator.SetUsers({{"u", "hash"}});
    }
    ~Gated() override { go.release(100); }
    std::shared_ptr<std::optional<Verdict>> Ask(const QByteArray& password,
                                                const QByteArray& client = "a") {
        auto verdict = std::make_shared<std::optional<Verdict>>();
        authenticator.Check(BasicAuthorization("u", password), client,
                            [verdict](Verdict given) { *verdict = given; });
        return verdict;
    }
    std::vector<QByteArray> Begun() {
        const std::lock_guard lock(mutex);
        return begun;
    }
    static bool Answered(const std::shared_ptr<std::optional<Verdict>>& verdict) {
        return test::WaitUntil([&] { return verdict->has_value(); });
    }

    QSemaphore go;
    std::mutex mutex;
    std::vector<QByteArray> begun;
    std::vector<QByteArray> hashes;
    Authenticator authenticator;
};

TEST_F(Gated, APairIsCheckedOnceAndRememberedUntilItsUserChanges) {
    const auto first = Ask("good");
    const auto meanwhile = Ask("good");
    const auto wrong = Ask("bad");
    go.release(2);
    ASSERT_TRUE(Answered(first) && Answered(wrong));
    EXPECT_EQ(*meanwhile, Verdict::kAllowed);
    EXPECT_EQ(*wrong, Verdict::kRefused);
    EXPECT_EQ(Ask("good")->value(), Verdict::kAllowed) << "before Check returns";
    EXPECT_EQ(Ask("bad")->value(), Verdict::kRefused) << "before Check returns";
    EXPECT_EQ(Begun(), (std::vector<QByteArray>{"good", "bad"}));

    authenticator.SetUsers({{"u", "hash"}, {"v", "$2y$12$dear"}});
    EXPECT_EQ(Ask("good")->value(), Verdict::kAllowed) << "u's hash is the same";
    authenticator.SetUsers({{"v", "$2y$12$dear"}, {"w", "$2y$04$cheap"}});
    const auto forgotten = Ask("good");
    go.release();
    ASSERT_TRUE(Answered(forgotten));
    EXPECT_EQ(*forgotten, Verdict::kRefused) << "u is no user any more";
    const std::lock_guard lock(mutex);
    EXPECT_EQ(hashes.back(), "$2y$12$dear") << "an unknown user costs what the dearest does";
}

TEST_F(Gated, TheChecksThatWaitAreBoundedPerClientAndOverall) {
    const auto waiting = {Ask("1"), Ask("2")};
    const auto third = Ask("3");
    EXPECT_EQ(Ask("4")->value_or(Verdict::kAllowed), Verdict::kBusy) << "a's two wait already";
    const auto other = Ask("5", "b");
    const auto newcomer = Ask("6", "c");
    EXPECT_EQ(third->value_or(Verdict::kAllowed), Verdict::kBusy)
        << "three wait in all: a's newest gives its place to c's first";
    EXPECT_EQ(Ask("7", "d")->value_or(Verdict::kAllowed), Verdict::kBusy)
        << "three wait in all, one of each client";
    go.release(4);
    ASSERT_TRUE(Answered(other) && Answered(newcomer));
    for (const auto& verdict : waiting) {
        ASSERT_TRUE(Answered(verdict));
    }
    EXPECT_EQ(Begun(), (std::vector<QByteArray>{"1", "5", "6", "2"})) << "b's and c's before a's";
}

class GatedPair : public Gated {
protected:
    GatedPair() : Gated(2) {}
};

// A client that failed of late never takes the last worker, nor goes before another.
TEST_F(GatedPair, AClientThatFailedOfLateGoesLast) {
    go.release();
    ASSERT_TRUE(Answered(Ask("bad", "flood")));
    [[maybe_unused]] const auto running = {Ask("1", "flood"), Ask("2", "flood"),
                                           Ask("good", "scraper")};
    ASSERT_TRUE(test::WaitUntil([&] { return Begun().size() == 3; }));
    std::vector<QByteArray> begun = Begun();
    std::sort(begun.begin(), begun.end());
    EXPECT_EQ(begun, (std::vector<QByteArray>{"1", "bad", "good"})) << "2 waits for 1";
}

}  // namespace
}  // namespace irig::web
