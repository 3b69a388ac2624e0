#include "TovuProtocol/Clock.hpp"

namespace tovu {

const SystemClock& SystemClock::shared() {
    static const SystemClock clock;
    return clock;
}

} // namespace tovu
