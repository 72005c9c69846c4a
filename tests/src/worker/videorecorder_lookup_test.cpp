// The worker's checks of the ids its client names, before it asks the parent anything.
#include "worker/videorecorder_lookup.h"

#include <gtest/gtest.h>

TEST(ValidId, OnlyDecimalNumbersReachTheConfigurationService) {
    const struct {
        const char* id;
        bool gateway;  // valid as a GC_ID
        bool device;   // valid as an LD_ID
    } cases[] = {
        {"7", true, true},
        {"0", true, true},
        {"4294967295", true, true},
        {"-1", false, true},
        {"-4294967295", false, true},
        {"-4294967296", false, false},
        {"4294967296", false, false},
        {"12345678901", false, false},
        {"", false, false},
        {"-", false, false},
        {"../ld/12", false, false},
        {"7?admin=1", false, false},
        {"7/../12", false, false},
        {"%37", false, false},
        {"7#", false, false},
        {" 7", false, false},
        {"+7", false, false},
        {"0x7", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(validId(c.id, false), c.gateway) << c.id;
        EXPECT_EQ(validId(c.id, true), c.device) << c.id;
    }
    EXPECT_TRUE(validTarget("7", ""));
    EXPECT_TRUE(validTarget("7", "-1"));
    EXPECT_FALSE(validTarget("7", "1/2"));
    EXPECT_FALSE(validTarget("-7", "12"));
}
