// The netrc reader against the files curl reads: entries over lines, the default entry, quoted
// words, macros, and the file IRIGCTL_MONITOR_NETRC names.
#include "lease/netrc.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "support/firmwarefile.h"

namespace irig::lease {
namespace {

struct NetrcRow {
    const char* name;
    const char* netrc;
    const char* login;  // null: no credentials
    const char* password = "";
};

class Netrc : public testing::TestWithParam<NetrcRow> {};

TEST_P(Netrc, GivesTheEntryOfTheHost) {
    const NetrcRow& row = GetParam();
    const std::optional<Credentials> found =
        NetrcCredentials(QByteArray(row.netrc), QStringLiteral("mon.example"));
    if (row.login == nullptr) {
        EXPECT_FALSE(found.has_value()) << found->login.toStdString();
        return;
    }
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(*found, (Credentials{QString::fromUtf8(row.login), QString::fromUtf8(row.password)}));
}

INSTANTIATE_TEST_SUITE_P(
    Lease, Netrc,
    testing::Values(
        NetrcRow{"one_line", "machine mon.example login ops password s3cret", "ops", "s3cret"},
        NetrcRow{"over_lines", "machine mon.example\n  login ops\n\tpassword s3cret\n", "ops",
                 "s3cret"},
        NetrcRow{"host_any_case", "machine MON.Example login ops password x", "ops", "x"},
        NetrcRow{"first_entry_wins",
                 "machine mon.example login one password 1\nmachine mon.example login two", "one",
                 "1"},
        NetrcRow{"other_host_then_default",
                 "machine other login a password b\ndefault login d password e", "d", "e"},
        NetrcRow{"other_host_only", "machine other login a password b", nullptr},
        NetrcRow{"no_login", "machine mon.example password x", nullptr},
        NetrcRow{"quoted_password", "machine mon.example login ops password \"a b\\\"c\"", "ops",
                 "a b\"c"},
        NetrcRow{"account_skipped", "machine mon.example account acc login ops password x", "ops",
                 "x"},
        NetrcRow{"macro_body_is_no_entry",
                 "macdef init\nmachine mon.example login evil\n\nmachine mon.example login ops "
                 "password x",
                 "ops", "x"},
        NetrcRow{"empty", "", nullptr}),
    [](const testing::TestParamInfo<NetrcRow>& row) { return row.param.name; });

TEST(NetrcFile, IsTheOneTheVariableNamesAndBounded) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("netrc"));
    qputenv(kNetrcVariable, path.toLocal8Bit());
    test::WriteFile(path, "machine mon.example login ops password x\n");
    EXPECT_EQ(NetrcCredentialsFor(QStringLiteral("mon.example")),
              (Credentials{QStringLiteral("ops"), QStringLiteral("x")}));
    test::WriteFile(path, QByteArray(kMostNetrcBytes, ' ') + "default login ops password x");
    EXPECT_FALSE(NetrcCredentialsFor(QStringLiteral("mon.example")).has_value()) << "too large";
    qunsetenv(kNetrcVariable);
}

}  // namespace
}  // namespace irig::lease
