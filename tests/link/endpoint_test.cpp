// Which endpoint a terminal server's address reaches: one unit is one endpoint however its address
// is spelt, and a name that is not found in time reaches none.
#include "link/endpoint.h"

#include <gtest/gtest.h>

namespace irig::link {
namespace {

constexpr int kDeadlineMs = 5000;

struct EndpointRow {
    const char* name;
    const char* one;
    const char* other;
    bool meet;
};

class Endpoints : public testing::TestWithParam<EndpointRow> {};

TEST_P(Endpoints, MeetWhereTheyReachOneAddressAndPort) {
    const std::vector<Endpoint> endpoints =
        ResolveEndpoints({*ParseNetworkAddress(QString::fromUtf8(GetParam().one)),
                          *ParseNetworkAddress(QString::fromUtf8(GetParam().other))},
                         kDeadlineMs);
    EXPECT_EQ(endpoints[0].Meets(endpoints[1]), GetParam().meet)
        << endpoints[0].Text().toStdString() << " " << endpoints[1].Text().toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Endpoint, Endpoints,
    testing::Values(
        EndpointRow{"a_name_and_its_address", "socket://localhost:25006",
                    "socket://127.0.0.1:25006", true},
        EndpointRow{"leading_zeros", "socket://127.000.000.001:25006", "socket://127.0.0.1:25006",
                    true},
        EndpointRow{"ipv4_mapped", "socket://[::ffff:127.0.0.1]:25006", "socket://127.0.0.1:25006",
                    true},
        EndpointRow{"either_scheme", "rfc2217://127.0.0.1:25006", "socket://127.0.0.1:25006", true},
        EndpointRow{"another_port", "socket://127.0.0.1:25006", "socket://127.0.0.1:25007", false},
        EndpointRow{"another_address", "socket://127.0.0.2:25006", "socket://127.0.0.1:25006",
                    false}),
    [](const testing::TestParamInfo<EndpointRow>& row) { return row.param.name; });

TEST(Endpoint, ANameNotFoundInTimeReachesNothing) {
    const auto never = [](const QString&,
                          const std::function<void(QList<QHostAddress>, QString)>&) {};
    const std::vector<Endpoint> endpoints =
        ResolveEndpoints({*ParseNetworkAddress(QStringLiteral("socket://ts1:4001")),
                          *ParseNetworkAddress(QStringLiteral("socket://127.0.0.1:4001"))},
                         50, never);
    EXPECT_TRUE(endpoints[0].addresses.isEmpty());
    EXPECT_FALSE(endpoints[0].Meets(endpoints[0]));
    EXPECT_EQ(endpoints[1].Text(), QStringLiteral("127.0.0.1:4001"));
}

}  // namespace
}  // namespace irig::link
