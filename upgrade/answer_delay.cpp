#include "upgrade/answer_delay.h"

#include "upgrade/upgrade.h"
#include "upgrade/xmodem.h"

namespace {
// 10 bits a byte at 8N1.
const double BlockBits = XmodemWireBlockBytes * 10.0;
}  // namespace

double AnswerDelayMs(int64_t waitUs, int32_t answers, uint32_t baud) {
    if (answers <= 0 || baud == 0) return -1;
    double delay = waitUs / 1000.0 / answers - BlockBits * 1000.0 / baud;
    return delay > 0 ? delay : 0;
}

double UpgradeAnswerDelayMs() {
    return AnswerDelayMs(UpgradeRun.answerWaitUs, UpgradeRun.answersTimed, UpgradeBaud);
}
