// What the Windows back end's files share: window handles and message parameters as the bus carries
// them, and the performance counter. Kernel handles travel as themselves (OsHandle is HANDLE here).
#pragma once

#include <windows.h>

#include <cstdint>

namespace platform::win32 {

// Window handles and message parameters are 32-bit values: sent sign-extended, read as their low
// 32 bits.
inline HWND WindowOf(uint32_t hwnd) { return reinterpret_cast<HWND>(static_cast<intptr_t>(static_cast<int32_t>(hwnd))); }
inline uint32_t Low32(HWND hwnd) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hwnd)); }
inline WPARAM WParamOf(uint32_t value) { return static_cast<WPARAM>(static_cast<intptr_t>(static_cast<int32_t>(value))); }
inline LPARAM LParamOf(uint32_t value) { return static_cast<LPARAM>(static_cast<int32_t>(value)); }

// QueryPerformanceCounter in nanoseconds and in milliseconds.
int64_t CounterNs();

}  // namespace platform::win32
