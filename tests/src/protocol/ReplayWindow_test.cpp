// The replay window: which counters a sequence of arrivals accepts.
#include "protocol/ReplayWindow.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using gateway_v2::ReplayWindow;
constexpr uint64_t kWindow = ReplayWindow::kWindowSize;
constexpr uint64_t kLimit = 1'000'000;

struct Case {
    const char* name;
    std::vector<std::pair<uint64_t, bool>> arrivals;  // counter, accepted
};

const Case kCases[] = {
    {"in order", {{0, true}, {1, true}, {2, true}, {3, true}}},
    {"duplicates", {{0, true}, {0, false}, {5, true}, {5, false}, {0, false}}},
    {"reordered within the window", {{10, true}, {3, true}, {9, true}, {0, true}, {3, false}}},
    {"oldest counter the window holds", {{kWindow, true}, {0, true}, {0, false}}},
    {"beyond the window", {{kWindow + 1, true}, {0, false}, {1, true}}},
    {"a long jump clears the ring",
     {{5, true}, {100'000, true}, {100'000 - kWindow, true}, {100'000 - kWindow - 1, false}}},
    {"block boundary reuse after sliding",
     {{63, true}, {64, true}, {64 + 128 * 64, true}, {64 + 127 * 64, true}, {64, false}}},
    {"the limit", {{kLimit - 1, true}, {kLimit, false}, {kLimit + 5, false}}},
};

class ReplayWindowTest : public ::testing::TestWithParam<Case> {};

TEST_P(ReplayWindowTest, AcceptsExactlyTheExpectedCounters) {
    ReplayWindow window;
    for (const auto& [counter, accepted] : GetParam().arrivals) {
        EXPECT_EQ(window.mayAccept(counter, kLimit), accepted) << counter;
        EXPECT_EQ(window.accept(counter, kLimit), accepted) << counter;
        // Once accepted, the same counter is a replay.
        EXPECT_FALSE(window.mayAccept(counter, kLimit)) << counter;
    }
}

INSTANTIATE_TEST_SUITE_P(Sequences, ReplayWindowTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& c : name) {
                                 c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

TEST(ReplayWindowTest, AQuestionDoesNotMoveTheWindow) {
    ReplayWindow window;
    ASSERT_TRUE(window.accept(0, kLimit));
    EXPECT_TRUE(window.mayAccept(50'000, kLimit));
    EXPECT_TRUE(window.accept(1, kLimit));
}

}  // namespace
