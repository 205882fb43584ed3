// The wall-clock offset file as the host clock reads it: at most one look a second of the
// monotonic time it is given, unless a watcher of the file asks for a look now.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "linuxhost/util/WallClockOffset.h"
#include "support/TempDir.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(WallClockOffset, IsLookedAtOnceASecondOrWhenToldAndKeepsTheLastNumberItRead) {
    testsupport::TempDir dir;
    const std::string file = dir.path() + "offset";
    // Written beside and renamed over, as the tests that move the daemon's clock do.
    const auto replace = [&](const std::string& text) {
        std::ofstream(file + ".new") << text;
        ASSERT_EQ(std::rename((file + ".new").c_str(), file.c_str()), 0);
    };
    const struct {
        const char* what;
        std::function<void()> change;  // may be empty
        int atMs;                      // monotonic milliseconds of the reading
        bool lookNow;
        long long offset;
    } steps[] = {
        {"no file", nullptr, 0, false, 0},
        {"a new file within the second: not looked at yet", [&] { replace("3600"); }, 500, false, 0},
        {"a second after the first look", nullptr, 1000, false, 3600},
        {"replaced within the second", [&] { replace(" -7200\n"); }, 1200, false, 3600},
        {"replaced, and a look asked for", nullptr, 1300, true, -7200},
        {"not a number: the offset stays", [&] { replace("soon"); }, 1400, true, -7200},
        {"removed: none", [&] { ASSERT_EQ(std::remove(file.c_str()), 0); }, 1500, true, 0},
        {"a number again", [&] { replace("60"); }, 1600, true, 60},
        {"empty: none", [&] { replace(""); }, 1700, true, 0},
    };
    ZEL::linuxhost::WallClockOffset offset(file);
    for (const auto& step : steps) {
        if (step.change) step.change();
        if (step.lookNow) offset.LookNow();
        const std::chrono::steady_clock::time_point at{seconds(100) + milliseconds(step.atMs)};
        EXPECT_EQ(offset.Offset(at), seconds(step.offset)) << step.what;
    }
}

}  // namespace
