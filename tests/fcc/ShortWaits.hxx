#pragma once

// The client's waits as the tests of its exchanges with a server set them.

#include <fcc/runtime/internal/FccTiming.hxx>

namespace Quillomark::Testing {

// Every wait of the client a hundredth of its length, so that time-outs
// run out soon, but for those on a server: a reply to a set-up exchange or
// to a translation, and a launched server's pipe. A busy machine cannot
// then fail an exchange that a case does not time out; a case that does
// shortens that wait itself.
inline void shortWaitsButTheServers() {
    Fcc::Testing::scaleFccTiming(100);
    for (const auto wait : {&Fcc::FccTiming::setUpReplyWait, &Fcc::FccTiming::launchWaitLimit,
                            &Fcc::FccTiming::translationWait})
        Fcc::Testing::setFccWait(wait, Fcc::FccTiming().*wait);
}

}  // namespace Quillomark::Testing
