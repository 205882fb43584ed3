#include <gtest/gtest.h>

#include "datasync/upload/InstalledStores.h"
#include "support/FakeComponents.h"

namespace {

using ZEL::DataSync::InstalledStores;

TEST(AgentEnvironmentTest, PuttingThePreviousEnvironmentBackLeavesNoneOfTheReplacedStoresInstalled) {
    const auto stores = [] {
        const ZEL::DataSync::Stores s = InstalledStores();
        return std::tuple(s.tables, s.bookmarks, s.files, s.registry);
    };
    const auto before = stores();
    {
        testsupport::FakeHost host;
        EXPECT_EQ(stores(), std::tuple(&host.tables, &host.bookmarks, &host.files, &host.registry));
    }
    EXPECT_EQ(stores(), before);
}

}  // namespace
