// Terminal servers' hosts looked up within a deadline: a name not found in time has no addresses,
// and an address written as one is itself.
#include "link/endpoint.h"

#include <gtest/gtest.h>

namespace irig::link {
namespace {

TEST(Endpoint, ANameNotFoundInTimeReachesNothing) {
    const auto never = [](const QString&,
                          const std::function<void(QList<QHostAddress>, QString)>&) {};
    EXPECT_TRUE(
        LookUpHosts({QStringLiteral("ts1")}, 50, never).value(QStringLiteral("ts1")).isEmpty());
    EXPECT_EQ(EndpointOf(*ParseNetworkAddress(QStringLiteral("socket://127.0.0.1:4001"))).Text(),
              QStringLiteral("127.0.0.1:4001"));
}

}  // namespace
}  // namespace irig::link
