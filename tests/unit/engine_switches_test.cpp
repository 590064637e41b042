#include "app/engine_switches.h"

#include <gtest/gtest.h>

namespace orvo {
namespace {

const std::string kOurs = "--disable-background-timer-throttling --disable-renderer-backgrounding "
                          "--disable-backgrounding-occluded-windows --disable-features=";

// The user's switches keep working next to ours, written as they were; the
// engine heeds only one --disable-features, so every list ends up in it.
TEST(EngineSwitches, OursJoinTheUsers) {
    const struct {
        std::string flags, expected;
    } rows[] = {
        {"", kOurs + "IntensiveWakeUpThrottling"},
        {R"(--host-resolver-rules="MAP *.test 127.0.0.1:1, MAP x y"  --gpu)",
         R"(--host-resolver-rules="MAP *.test 127.0.0.1:1, MAP x y" --gpu )" + kOurs +
             "IntensiveWakeUpThrottling"},
        {R"(--disable-features=A,B --x --disable-features="C,A" "--disable-features=IntensiveWakeUpThrottling")",
         "--x " + kOurs + "A,B,C,IntensiveWakeUpThrottling"},
        {R"(--title="a b)", R"(--title="a b" )" + kOurs + "IntensiveWakeUpThrottling"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(withUnthrottledTimers(row.flags), row.expected) << row.flags;

    const std::vector<std::string> argv = {"--disable-features=A", "--x=\"a b\""};
    EXPECT_EQ(withUnthrottledTimers(argv),
              (std::vector<std::string>{"--x=\"a b\"", "--disable-background-timer-throttling",
                                        "--disable-renderer-backgrounding",
                                        "--disable-backgrounding-occluded-windows",
                                        "--disable-features=A,IntensiveWakeUpThrottling"}));
}

} // namespace
} // namespace orvo
