// A scenario in a forked child, for state a process keeps for its whole life
// (the token probe keeps the first module it loads).
#pragma once

#include <functional>

namespace testsupport {

// Runs `scenario` in a forked child; its assertion failures are printed there
// and turn into a non-zero exit, which fails the calling test. _exit keeps the
// child from running the parent's exit handlers (the test root belongs to the
// parent).
void inFreshProcess(const std::function<void()>& scenario);

}  // namespace testsupport
