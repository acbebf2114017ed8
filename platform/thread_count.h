// The threads this process runs now: for checks that a subsystem's teardown ended every thread it
// started. Not for real-time paths (it reads the system's thread list).
#pragma once

#include <cstdint>
#include <vector>

namespace platform {

// The system's ids of this process's threads, in ascending order; empty when the system cannot say.
std::vector<uint64_t> ThreadIdsOfThisProcess();

}  // namespace platform
