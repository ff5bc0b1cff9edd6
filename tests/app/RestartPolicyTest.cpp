#include "app/RestartPolicy.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = CRestartPolicy::Clock;

// Each end of the helper, how long it had run and when it ended (from the
// start of the case), and the wait before it starts again (nothing: left
// ended).
TEST(CRestartPolicyTest, BacksOffDoublingToAMinuteAndGivesUpAfterTenRestartsAnHour) {
    struct CEnd {
        std::chrono::seconds at;
        std::chrono::seconds ran;
        std::optional<std::chrono::milliseconds> delay;
    };
    struct CCase {
        const char* name;
        std::vector<CEnd> ends;
    };
    const std::vector<CCase> cases = {
        {"doubling up to a minute",
         {{0s, 1s, 1s}, {2s, 1s, 2s}, {5s, 1s, 4s}, {10s, 1s, 8s}, {20s, 1s, 16s}, {40s, 1s, 32s}, {80s, 1s, 60s},
          {150s, 1s, 60s}}},
        {"a steady run starts the back-off over", {{0s, 1s, 1s}, {2s, 1s, 2s}, {100s, 90s, 1s}, {102s, 1s, 2s}}},
        {"ten restarts within an hour, then none",
         {{0s, 70s, 1s}, {100s, 70s, 1s}, {200s, 70s, 1s}, {300s, 70s, 1s}, {400s, 70s, 1s}, {500s, 70s, 1s},
          {600s, 70s, 1s}, {700s, 70s, 1s}, {800s, 70s, 1s}, {900s, 70s, 1s}, {1000s, 70s, std::nullopt},
          {3599s, 70s, std::nullopt}, {3600s, 70s, 1s}, {3650s, 70s, std::nullopt}}},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.name);
        CRestartPolicy policy;
        const Clock::time_point start = Clock::now();
        for (const CEnd& end : c.ends) {
            SCOPED_TRACE(end.at.count());
            EXPECT_EQ(policy.OnEnded(start + end.at, end.ran), end.delay);
        }
    }
}

} // namespace
