// A client's own window: a message-only window of the class "TovuClientWindow", its receiver or its
// parked messages, and the sends and posts to the engine window. See client_window.h.
#include "platform/client_window.h"


#include "platform/win32/handles.h"

namespace platform {

namespace {

const char kClientClass[] = "TovuClientWindow";

// What a window holds, reached through its user data; freed when the window is destroyed.
struct WindowState {
  WindowBinding binding;
  std::vector<WindowMessage> parked;
};

WindowState* StateOf(HWND hwnd) { return reinterpret_cast<WindowState*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA)); }

bool Received(UINT msg) { return msg == WM_COPYDATA || msg >= WM_USER; }

LRESULT CALLBACK ClientWindowProcedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  WindowState* state = StateOf(hwnd);
  if (msg == WM_NCDESTROY && state) {
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    delete state;
    return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
  if (!state || !Received(msg)) return DefWindowProcA(hwnd, msg, wParam, lParam);
  WindowMessage m;
  m.msg = msg;
  m.wParam = static_cast<uint32_t>(wParam);
  m.lParam = static_cast<uint32_t>(lParam);
  m.sent = InSendMessage() != 0;
  if (msg == WM_COPYDATA) {
    // The sender's bytes are valid only during this call: they are copied.
    const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    m.lParam = 0;
    if (data) {
      m.dwData = static_cast<uint32_t>(data->dwData);
      if (data->lpData && data->cbData > 0) {
        const uint8_t* bytes = static_cast<const uint8_t*>(data->lpData);
        m.payload.assign(bytes, bytes + data->cbData);
      }
    }
  }
  if (state->binding.receive) return static_cast<LRESULT>(state->binding.receive(state->binding.context, std::move(m)));
  state->parked.push_back(std::move(m));
  return 0;
}

bool RegisterClientClass() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = ClientWindowProcedure;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = kClientClass;
  return RegisterClassA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

uint32_t ClientWindowCreate() {
  if (!RegisterClientClass()) return 0;
  HWND hwnd = CreateWindowExA(0, kClientClass, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr),
                              nullptr);
  if (!hwnd) return 0;
  SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new WindowState));
  return win32::Low32(hwnd);
}

void ClientWindowDestroy(uint32_t window) {
  if (window != 0) DestroyWindow(win32::WindowOf(window));
}

WindowBinding ClientWindowBind(uint32_t window, WindowBinding binding) {
  WindowState* state = window ? StateOf(win32::WindowOf(window)) : nullptr;
  if (!state) return {};
  WindowBinding before = state->binding;
  state->binding = binding;
  return before;
}

std::vector<WindowMessage> ClientWindowTakeParked(uint32_t window) {
  WindowState* state = window ? StateOf(win32::WindowOf(window)) : nullptr;
  if (!state) return {};
  std::vector<WindowMessage> parked;
  parked.swap(state->parked);
  return parked;
}

namespace {

// Dispatches what is queued; true when something was.
bool DispatchWaiting(HWND hwnd) {
  bool any = false;
  MSG msg;
  // Sent messages are delivered inside PeekMessage whatever the filter; posted ones to `hwnd` only.
  while (PeekMessageA(&msg, hwnd, 0, 0, PM_REMOVE)) {
    DispatchMessageA(&msg);
    any = true;
  }
  return any;
}

}  // namespace

void ClientWindowPump(uint32_t window, int timeoutMs) {
  HWND hwnd = win32::WindowOf(window);
  if (DispatchWaiting(hwnd) || timeoutMs <= 0) return;
  // Wakes for input that arrived since the queue was last looked at (not for messages of other
  // windows already seen), so that this never spins.
  MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(timeoutMs), QS_ALLINPUT, 0);
  DispatchWaiting(hwnd);
}

uint32_t FindEngineWindow() { return win32::Low32(FindWindowA("TovuEngine", nullptr)); }

bool WindowExists(uint32_t window) { return window != 0 && IsWindow(win32::WindowOf(window)) != 0; }

namespace {

bool SendWithLimit(uint32_t to, UINT msg, WPARAM wParam, LPARAM lParam, int timeoutMs, int32_t* result) {
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutA(win32::WindowOf(to), msg, wParam, lParam, SMTO_NORMAL,
                           static_cast<UINT>(timeoutMs < 0 ? 0 : timeoutMs), &answer))
    return false;
  if (result) *result = static_cast<int32_t>(static_cast<uint32_t>(answer));
  return true;
}

}  // namespace

bool WindowSend(uint32_t to, uint32_t msg, uint32_t wParam, uint32_t lParam, int timeoutMs, int32_t* result) {
  return SendWithLimit(to, msg, win32::WParamOf(wParam), win32::LParamOf(lParam), timeoutMs, result);
}

bool WindowSendCopyData(uint32_t to, uint32_t from, uint32_t dwData, const void* data, uint32_t size, int timeoutMs,
                        int32_t* result) {
  COPYDATASTRUCT copy{};
  copy.dwData = dwData;
  copy.cbData = data ? size : 0;
  copy.lpData = const_cast<void*>(data);
  return SendWithLimit(to, WM_COPYDATA, win32::WParamOf(from), reinterpret_cast<LPARAM>(&copy), timeoutMs, result);
}

bool WindowPost(uint32_t to, uint32_t msg, uint32_t wParam, uint32_t lParam) {
  return PostMessageA(win32::WindowOf(to), msg, win32::WParamOf(wParam), win32::LParamOf(lParam)) != 0;
}

}  // namespace platform
