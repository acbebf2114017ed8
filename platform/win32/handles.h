// What the Windows back end's files share: the conversion between the platform headers' `int`
// descriptors and kernel handles. A kernel handle's value fits in 32 bits in 64-bit processes too
// (the system keeps them so for 32-bit interop), so an `int` holds it; -1 stands for none.
#pragma once

#include <windows.h>

#include <cstdint>

namespace platform::win32 {

inline int IntOf(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return -1;
  return static_cast<int>(reinterpret_cast<intptr_t>(handle));
}

inline HANDLE HandleOf(int value) {
  return value < 0 ? nullptr : reinterpret_cast<HANDLE>(static_cast<intptr_t>(value));
}

// Window handles and message parameters are 32-bit values: sent sign-extended, read as their low
// 32 bits.
inline HWND WindowOf(uint32_t hwnd) { return reinterpret_cast<HWND>(static_cast<intptr_t>(static_cast<int32_t>(hwnd))); }
inline uint32_t Low32(HWND hwnd) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hwnd)); }
inline WPARAM WParamOf(uint32_t value) { return static_cast<WPARAM>(static_cast<intptr_t>(static_cast<int32_t>(value))); }
inline LPARAM LParamOf(uint32_t value) { return static_cast<LPARAM>(static_cast<int32_t>(value)); }

// QueryPerformanceCounter in nanoseconds and in milliseconds.
int64_t CounterNs();

}  // namespace platform::win32
