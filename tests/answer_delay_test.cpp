// The adapter's answer delay: what is left of a block's answer time once the
// block's own time on the wire is taken off.
#include <gtest/gtest.h>

#include "upgrade/answer_delay.h"

TEST(AnswerDelay, TheWiresTimeOfABlockIsTakenOff) {
    // 132 bytes of 10 bits at 57600 baud: 22.917 ms on the wire.
    EXPECT_NEAR(8.0, AnswerDelayMs(10 * 30917, 10, 57600), 0.01);
    EXPECT_NEAR(16.0, AnswerDelayMs(344LL * 38917, 344, 57600), 0.01);
    EXPECT_NEAR(1.0, AnswerDelayMs(2 * 138500, 2, 9600), 0.01);
    EXPECT_EQ(0, AnswerDelayMs(5 * 200, 5, 57600));  // a pseudo-terminal beats the wire
    EXPECT_EQ(-1, AnswerDelayMs(0, 0, 57600));       // nothing timed
}
