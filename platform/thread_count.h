// The number of threads this process runs now: for checks that a subsystem's teardown ended every
// thread it started. Not for real-time paths (it reads the system's thread list).
#pragma once

namespace platform {

// 0 when the system cannot say.
int ThreadCountOfThisProcess();

}  // namespace platform
