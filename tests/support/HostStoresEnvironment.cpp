// Installs the host's SQLite stores for the whole test binary, before the first test runs.
#include <gtest/gtest.h>

#include "linuxhost/datastore/HostStores.h"

namespace {

class HostStoresEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ZEL::linuxhost::InstallHostStores(); }
};

const ::testing::Environment* const kInstalled =
    ::testing::AddGlobalTestEnvironment(new HostStoresEnvironment);

}  // namespace
