// The netrc reader against files as curl reads them: entries over lines, the default entry,
// quoted words and macros.
#include "lease/netrc.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(found, row.login == nullptr
                         ? std::nullopt
                         : std::optional(Credentials{QString::fromUtf8(row.login),
                                                     QString::fromUtf8(row.password)}));
}

INSTANTIATE_TEST_SUITE_P(
    Lease, Netrc,
    testing::Values(
        NetrcRow{"over_lines", "machine mon.example\n  login ops\n\tpassword s3cret\n", "ops",
                 "s3cret"},
        NetrcRow{"other_host_then_default",
                 "machine other login a password b\ndefault login d password e", "d", "e"},
        NetrcRow{"other_host_only", "machine other login a password b", nullptr},
        NetrcRow{"quoted_password", "machine mon.example login ops password \"a b\\\"c\"", "ops",
                 "a b\"c"},
        NetrcRow{"macro_body_is_no_entry",
                 "macdef init\nmachine mon.example login evil\n\nmachine mon.example login ops "
                 "password x",
                 "ops", "x"}),
    [](const testing::TestParamInfo<NetrcRow>& row) { return row.param.name; });

}  // namespace
}  // namespace irig::lease
