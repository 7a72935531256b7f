// The cached lookups on the real resolver, in a mount namespace of their own
// whose /etc/hosts and /etc/nsswitch.conf the test writes: no query leaves the
// machine. Skipped where no namespace can be made.
#include "resolve_fixture.h"

namespace {

using namespace resolve_test;

TEST_F(ResolveTest, TheSystemResolverAnswersThroughTheCaches) {
    int rc = with_hosts(root().path(),
                        "127.0.0.1 localhost\n192.0.2.44 db.test.example db\n"
                        "2001:db8::44 db.test.example\n",
                        [] {
                            rs::set_resolver(nullptr);
                            if (all("db.test.example") !=
                                std::vector<std::string>{"192.0.2.44", "2001:db8::44"})
                                return 1;
                            // The second answer comes from memory, the third from the file.
                            first("DB.test.example");
                            if (rs::last_source() != rs::Source::Memory)
                                return 2;
                            vnet_cached_free_memory();
                            first("db.test.example");
                            if (rs::last_source() != rs::Source::File)
                                return 3;
                            int code = 0, status = 0;
                            first("unknown.test.example", &code, &status);
                            if (status != VNET_GETHOST_FAILED || code != VNET_EAI_HOST_NOT_FOUND)
                                return 4;
                            return 0;
                        });
    if (rc == 77)
        GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(rc, 0);
}

TEST_F(ResolveTest, ALanAddressForLocalhostIsReplacedOnTheRealResolver) {
    int rc = with_hosts(root().path(), "192.0.2.99 localhost\n", [] {
        rs::set_resolver(nullptr);
        return all("localhost") == std::vector<std::string>{"127.0.0.1"} ? 0 : 1;
    });
    if (rc == 77)
        GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(rc, 0);
}

} // namespace
