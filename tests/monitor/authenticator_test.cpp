// Who gets in: each form of Authorization header with its verdict by real bcrypt, and, with a
// check that waits until the test lets it go, that a pair is checked once and then remembered,
// that the checks waiting are bounded, and that a client that failed waits behind one that did not.
#include "monitor/authenticator.h"

#include <gtest/gtest.h>

#include <QSemaphore>
#include <algorithm>
#include <mutex>

#include "support/tlsfiles.h"
#include "support/wait.h"

namespace irig::monitor {
namespace {

using test::BasicAuthorization;

struct HeaderRow {
    const char* name;
    QByteArray header;
    Verdict verdict;
};

class Headers : public testing::TestWithParam<HeaderRow> {};

TEST_P(Headers, GetTheirVerdictFromBcrypt) {
    static const QByteArray hash = test::BcryptHash("s3cret");
    ASSERT_FALSE(hash.isEmpty());
    Authenticator authenticator;
    authenticator.SetUsers({{"prometheus", hash}, {"grafana", hash}});
    std::optional<Verdict> verdict;
    authenticator.Check(GetParam().header, "client", [&](Verdict given) { verdict = given; });
    ASSERT_TRUE(test::WaitUntil([&] { return verdict.has_value(); }));
    EXPECT_EQ(*verdict, GetParam().verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Authenticator, Headers,
    testing::Values(
        HeaderRow{"good", BasicAuthorization("prometheus", "s3cret"), Verdict::kAllowed},
        HeaderRow{"scheme_in_lower_case", "basic " + QByteArray("grafana:s3cret").toBase64(),
                  Verdict::kAllowed},
        HeaderRow{"wrong_password", BasicAuthorization("prometheus", "s3cre"), Verdict::kRefused},
        HeaderRow{"unknown_user", BasicAuthorization("root", "s3cret"), Verdict::kRefused},
        HeaderRow{"missing", "", Verdict::kRefused},
        HeaderRow{"another_scheme", "Bearer " + QByteArray("prometheus:s3cret").toBase64(),
                  Verdict::kRefused},
        HeaderRow{"not_base64", "Basic prometheus:s3cret", Verdict::kRefused},
        HeaderRow{"no_colon", "Basic " + QByteArray("prometheus").toBase64(), Verdict::kRefused},
        // crypt() would read the password only up to the NUL, and so let it in.
        HeaderRow{"nul_after_the_password",
                  BasicAuthorization("prometheus", QByteArray("s3cret\0more", 11)),
                  Verdict::kRefused}),
    [](const testing::TestParamInfo<HeaderRow>& row) { return row.param.name; });

// Checks by a comparison that waits for the test's go, and the passwords in the order begun.
class Gated : public testing::Test {
protected:
    explicit Gated(CheckLimits limits = {1, 2, 3, 8})
        : authenticator(limits, [this](const QByteArray& password, const QByteArray&) {
              {
                  const std::lock_guard lock(mutex);
                  checked.push_back(password);
              }
              go.acquire();
              return password == "good";
          }) {
        authenticator.SetUsers({{"u", "hash"}});
    }
    ~Gated() override { go.release(100); }
    // The verdict, once given.
    std::shared_ptr<std::optional<Verdict>> Ask(const QByteArray& password,
                                                const QByteArray& client = "a") {
        auto verdict = std::make_shared<std::optional<Verdict>>();
        authenticator.Check(BasicAuthorization("u", password), client,
                            [verdict](Verdict given) { *verdict = given; });
        return verdict;
    }
    std::vector<QByteArray> Checked() {
        const std::lock_guard lock(mutex);
        return checked;
    }

    QSemaphore go;
    std::mutex mutex;
    std::vector<QByteArray> checked;
    Authenticator authenticator;
};

TEST_F(Gated, APairIsCheckedOnceAndThenAnsweredAtOnce) {
    const auto first = Ask("good");
    const auto meanwhile = Ask("good");
    const auto wrong = Ask("bad");
    go.release(2);
    ASSERT_TRUE(test::WaitUntil([&] { return first->has_value() && wrong->has_value(); }));
    EXPECT_EQ(*meanwhile, Verdict::kAllowed);
    EXPECT_EQ(*wrong, Verdict::kRefused);
    EXPECT_EQ(Ask("good")->value(), Verdict::kAllowed) << "before Check returns";
    EXPECT_EQ(Ask("bad")->value(), Verdict::kRefused) << "before Check returns";
    EXPECT_EQ(Checked(), (std::vector<QByteArray>{"good", "bad"}));

    authenticator.SetUsers({{"v", "hash"}});
    const auto forgotten = Ask("good");
    go.release();
    ASSERT_TRUE(test::WaitUntil([&] { return forgotten->has_value(); }));
    EXPECT_EQ(*forgotten, Verdict::kRefused) << "u is no user any more";
}

TEST_F(Gated, TheChecksThatWaitAreBoundedPerClientAndOverall) {
    const auto running = Ask("1");
    const auto waiting = {Ask("2"), Ask("3")};
    EXPECT_EQ(Ask("5")->value_or(Verdict::kAllowed), Verdict::kBusy) << "a's two wait already";
    const auto other = Ask("4", "b");
    EXPECT_EQ(Ask("6", "c")->value_or(Verdict::kAllowed), Verdict::kBusy) << "three wait in all";
    go.release(4);
    ASSERT_TRUE(test::WaitUntil([&] { return Checked().size() == 4; }));
    EXPECT_EQ(Checked(), (std::vector<QByteArray>{"1", "4", "2", "3"})) << "b's before a's next";
}

TEST_F(Gated, AClientThatFailedOfLateWaitsBehindTheOthers) {
    const auto failed = Ask("bad", "flood");
    go.release();
    ASSERT_TRUE(test::WaitUntil([&] { return failed->has_value(); }));
    const auto running = Ask("1", "other");
    const auto flood = Ask("2", "flood");
    const auto good = Ask("good", "scraper");
    go.release(3);
    ASSERT_TRUE(test::WaitUntil([&] { return flood->has_value(); }));
    EXPECT_EQ(**good, Verdict::kAllowed);
    EXPECT_EQ(Checked(), (std::vector<QByteArray>{"bad", "1", "good", "2"}));
}

class GatedPair : public Gated {
protected:
    GatedPair() : Gated({2, 4, 32, 8}) {}
};

TEST_F(GatedPair, AClientThatFailedOfLateNeverTakesTheLastWorker) {
    const auto failed = Ask("bad", "flood");
    go.release();
    ASSERT_TRUE(test::WaitUntil([&] { return failed->has_value(); }));
    const auto flood = {Ask("1", "flood"), Ask("2", "flood")};
    const auto good = Ask("good", "scraper");
    ASSERT_TRUE(test::WaitUntil([&] { return Checked().size() == 3; }));
    std::vector<QByteArray> begun = Checked();
    std::sort(begun.begin(), begun.end());
    EXPECT_EQ(begun, (std::vector<QByteArray>{"1", "bad", "good"})) << "2 waits for 1";
    go.release(3);
    ASSERT_TRUE(test::WaitUntil([&] { return good->has_value() && Checked().size() == 4; }));
    EXPECT_EQ(**good, Verdict::kAllowed);
}

}  // namespace
}  // namespace irig::monitor
