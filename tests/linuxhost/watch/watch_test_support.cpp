// Installs the host.log capture of this test binary before any test runs.
#include "linuxhost/watch/watch_test_support.h"

#include <gtest/gtest.h>

#include "linuxhost/logging/FileLogging.h"

namespace watchtest {

testsupport::LogCapture& HostLogLines() {
    static auto* capture = new testsupport::LogCapture();  // kept to process exit: HostLog binds once
    return *capture;
}

namespace {

class HostLogEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        HostLogLines();
        ZEL::linuxhost::HostLog();  // binds host.log to the capture now
    }
};

[[maybe_unused]] ::testing::Environment* const g_hostLogEnvironment =
    ::testing::AddGlobalTestEnvironment(new HostLogEnvironment);

}  // namespace
}  // namespace watchtest
