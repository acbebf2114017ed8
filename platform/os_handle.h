// A handle of the operating system that the engine holds or waits on: a descriptor on POSIX, a
// kernel HANDLE on Windows. Code above the platform passes it along and never looks inside it.
#pragma once

namespace platform {

#ifdef _WIN32
using OsHandle = void*;
inline constexpr OsHandle kNoHandle = nullptr;
#else
using OsHandle = int;
inline constexpr OsHandle kNoHandle = -1;
#endif

// Closes a handle; kNoHandle is allowed.
void CloseOsHandle(OsHandle handle);

}  // namespace platform
