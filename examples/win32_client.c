/* A client of the engine in plain C with nothing but windows.h, as any program written for the
 * platform would talk to it: find the engine window, register a window of our own, ask for the port
 * lists (answered by WM_COPYDATA during the call), open the first output, strike and release a note,
 * set and read the audition hold time, close the ports and unregister.
 *
 *   win32_client [expected output count [expected input count [input pipe]]]
 *   win32_client --hold N    registers N windows of its own, says so, and waits to be ended (for
 *                            tests of the engine noticing that a client process has gone)
 *   win32_client --stall     opens the first output, then answers the engine's port list only after
 *                            5 s; the engine gives up on the answer after 2 s, and a note posted
 *                            meanwhile is played at once, not held behind the answer
 *   win32_client --launch ENGINE
 *                            starts the engine hidden with a pipe as its standard error, as a
 *                            launcher does, and goes away without registering: the engine must
 *                            notice and close by itself (status 0)
 *
 * With an input pipe (the engine's virtual input, TOVU_VIRTUAL_INPUT), it also opens input 0 with
 * thru to the first output and writes a note to the pipe, which the engine echoes there.
 *
 * Prints what it sees, one line per step, and ends with status 0 when every answer was the one
 * expected, 1 otherwise (2 when no engine window was found within 10 seconds). */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define ENGINE_COMMAND 1624
#define OPEN_PORTS_SIZE 1080

static int g_outputCount = -1; /* records in the last type 2 answer, -1 before one came */
static int g_inputCount = -1;
static char g_firstOutput[65];
static unsigned g_firstOutputDevice;
static unsigned char g_openReply[OPEN_PORTS_SIZE];
static int g_openReplied;
static int g_notify14;
static int g_notify5, g_notify12, g_notify21;
static long g_startParam = -1; /* lParam of the start message 1626 */
static int g_positions;        /* position messages 1625 */
static long g_lastPosition = -1;
static int g_failures;
static int g_stall; /* the port list answer is held for 5 s */
static HWND g_engine;

static unsigned Le32(const unsigned char* p) {
  return (unsigned)p[0] | (unsigned)p[1] << 8 | (unsigned)p[2] << 16 | (unsigned)p[3] << 24;
}

static void PutLe32(unsigned char* p, unsigned v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
  p[2] = (unsigned char)(v >> 16);
  p[3] = (unsigned char)(v >> 24);
}

static unsigned g_metronome[4];
static int g_metronomeReplied;

static LRESULT CALLBACK ClientProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_COPYDATA) {
    const COPYDATASTRUCT* data = (const COPYDATASTRUCT*)lParam;
    const unsigned char* bytes = (const unsigned char*)data->lpData;
    unsigned type = (unsigned)(data->dwData & 0xFFFF);
    if (type == 2 && g_stall) {
      Sleep(5000);
      return 1;
    }
    if (type == 2) {
      g_outputCount = (int)(data->cbData / 80);
      if (g_outputCount > 0) {
        memcpy(g_firstOutput, bytes, 64);
        g_firstOutput[64] = 0;
        g_firstOutputDevice = Le32(bytes + 64);
      }
    } else if (type == 26 && data->cbData >= 16) {
      int k;
      for (k = 0; k < 4; ++k) g_metronome[k] = Le32(bytes + 4 * k);
      g_metronomeReplied = 1;
    } else if (type == 24) {
      g_inputCount = (int)(data->cbData / 72);
    } else if (type == 13 && data->cbData >= OPEN_PORTS_SIZE) {
      memcpy(g_openReply, bytes, OPEN_PORTS_SIZE);
      g_openReplied = 1;
    }
    return 1;
  }
  if (msg == ENGINE_COMMAND) {
    if (wParam == 5) ++g_notify5;
    if (wParam == 12) ++g_notify12;
    if (wParam == 14) ++g_notify14;
    if (wParam == 21) ++g_notify21;
    return 0;
  }
  if (msg == ENGINE_COMMAND + 1) {
    ++g_positions;
    g_lastPosition = (long)(int)lParam;
    return 0;
  }
  if (msg == ENGINE_COMMAND + 2) {
    g_startParam = (long)(int)lParam;
    return 0;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

static void Check(const char* what, long got, long expected) {
  printf("%s: %ld%s\n", what, got, got == expected ? "" : " (unexpected)");
  if (got != expected) ++g_failures;
}

static LRESULT Command(HWND engine, unsigned code, LPARAM lParam) {
  return SendMessageA(engine, ENGINE_COMMAND, code, lParam);
}

static void DrainPosted(void) {
  MSG msg;
  while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

/* Handles messages until *flag is set or `ms` milliseconds have passed. */
static void PumpUntil(const int* flag, DWORD ms) {
  DWORD start = GetTickCount();
  while (!*flag && GetTickCount() - start < ms) {
    MsgWaitForMultipleObjects(0, NULL, FALSE, 50, QS_ALLINPUT);
    DrainPosted();
  }
}

/* A song of one bar at 120 quarter notes a minute (120 ticks a quarter): middle C on port index 0
 * from tick 0, released at tick 120, the end at tick 240 (one second). */
static unsigned char g_song[40 + 4 * 8];
static void BuildSong(void) {
  static const unsigned events[4][2] = {
      {0, 0xFE | 120u << 8}, /* tempo: 120 quarter notes a minute */
      {0, 0x00643C90},       /* note on, velocity 100 */
      {120, 0x00003C90},     /* its release */
      {240, 0x000000FF},     /* the end */
  };
  unsigned end = 40 + 4 * 8;
  int i;
  memset(g_song, 0, sizeof g_song);
  PutLe32(g_song + 0, 120);
  g_song[6] = 2; /* 4/4 */
  g_song[7] = 4;
  PutLe32(g_song + 8, 240);
  PutLe32(g_song + 12, end);        /* no system-exclusive records */
  PutLe32(g_song + 24, end);        /* no RPN records */
  PutLe32(g_song + 28, 0xFFFFFFFFu); /* and no RPN list */
  PutLe32(g_song + 32, end);
  PutLe32(g_song + 36, 0xFFFFFFFFu);
  for (i = 0; i < 4; ++i) {
    PutLe32(g_song + 40 + 8 * i, events[i][0]);
    PutLe32(g_song + 44 + 8 * i, events[i][1]);
  }
}

/* Starts the engine as a launcher would and leaves it before registering. */
static int Launch(const char* enginePath) {
  SECURITY_ATTRIBUTES sa;
  STARTUPINFOA si;
  PROCESS_INFORMATION pi;
  HANDLE readEnd, writeEnd;
  char commandLine[MAX_PATH + 3];
  DWORD started, waited, status = 0;
  int i;
  sa.nLength = sizeof sa;
  sa.lpSecurityDescriptor = NULL;
  sa.bInheritHandle = TRUE;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return 1;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  si.wShowWindow = SW_HIDE;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = writeEnd;
  snprintf(commandLine, sizeof commandLine, "\"%s\"", enginePath);
  if (!CreateProcessA(NULL, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi)) {
    printf("cannot start %s (error %lu)\n", enginePath, GetLastError());
    return 1;
  }
  CloseHandle(writeEnd);
  for (i = 0; i < 100 && !FindWindowA("TovuEngine", NULL); ++i) Sleep(100);
  printf("engine window %s\n", FindWindowA("TovuEngine", NULL) ? "found" : "not found");
  started = GetTickCount();
  CloseHandle(readEnd); /* the launcher goes away before registering */
  waited = WaitForSingleObject(pi.hProcess, 10000);
  GetExitCodeProcess(pi.hProcess, &status);
  printf("engine %s, status %lu, %lu ms after the pipe closed\n", waited == WAIT_OBJECT_0 ? "ended" : "still running",
         status, GetTickCount() - started);
  if (waited != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return waited == WAIT_OBJECT_0 && status == 0 ? 0 : 1;
}

static DWORD WINAPI PostNoteLater(void* unused) {
  (void)unused;
  Sleep(300);
  PostMessageA(g_engine, ENGINE_COMMAND, 18, 0x00403E90); /* note 0x3E, velocity 0x40 */
  return 0;
}

/* Opens the first output, then holds the engine's answer to the port list for 5 s. */
static int Stall(HWND engine, HWND self) {
  unsigned char request[OPEN_PORTS_SIZE];
  COPYDATASTRUCT data;
  HANDLE thread;
  DWORD start;
  g_engine = engine;
  if (Command(engine, 0, (LPARAM)self) != 0) return 1;
  Command(engine, 2, (LPARAM)self);
  memset(request, 0, sizeof request);
  PutLe32(request + 4, 1);
  PutLe32(request + 8, g_firstOutputDevice);
  PutLe32(request + 1032, 0xFFFFFFFFu);
  data.dwData = 13;
  data.cbData = sizeof request;
  data.lpData = request;
  SendMessageA(engine, WM_COPYDATA, (WPARAM)self, (LPARAM)&data);
  Command(engine, 18, 0x00403C90); /* the mark: note 0x3C */
  thread = CreateThread(NULL, 0, PostNoteLater, NULL, 0, NULL);
  g_stall = 1;
  start = GetTickCount();
  Command(engine, 2, (LPARAM)self); /* answered by a handler that takes 5 s */
  printf("port list answered after %lu ms\n", GetTickCount() - start);
  g_stall = 0;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  Command(engine, 1, (LPARAM)self);
  return 0;
}

/* Registers `count` windows of this process and waits without end. */
static int Hold(HWND engine, HINSTANCE instance, const char* className, int count) {
  int i, registered = 0;
  for (i = 0; i < count; ++i) {
    HWND window = CreateWindowExA(0, className, "", 0, 0, 0, 0, 0, NULL, NULL, instance, NULL);
    if (window && Command(engine, 0, (LPARAM)window) == 0) ++registered;
  }
  printf("registered %d\n", registered);
  fflush(stdout);
  for (;;) {
    MSG msg;
    if (GetMessageA(&msg, NULL, 0, 0) <= 0) break;
    DispatchMessageA(&msg);
  }
  return 0;
}

int main(int argc, char** argv) {
  int hold = argc > 2 && strcmp(argv[1], "--hold") == 0 ? atoi(argv[2]) : 0;
  int expectOutputs = !hold && argc > 1 ? atoi(argv[1]) : -1;
  int expectInputs = !hold && argc > 2 ? atoi(argv[2]) : -1;
  const char* inputPipe = !hold && argc > 3 ? argv[3] : NULL;
  WNDCLASSA wc;
  HWND self, engine = NULL;
  LRESULT r;
  unsigned char request[OPEN_PORTS_SIZE];
  COPYDATASTRUCT data;
  int i;

  if (argc > 2 && strcmp(argv[1], "--launch") == 0) return Launch(argv[2]);
  memset(&wc, 0, sizeof wc);
  wc.lpfnWndProc = ClientProc;
  wc.hInstance = GetModuleHandleA(NULL);
  wc.lpszClassName = "TovuExampleClient";
  if (!RegisterClassA(&wc)) return 1;
  self = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, NULL, NULL, wc.hInstance, NULL);
  if (!self) return 1;

  for (i = 0; i < 100 && !engine; ++i) {
    engine = FindWindowA("TovuEngine", NULL);
    if (!engine) Sleep(100);
  }
  if (!engine) {
    printf("no engine window\n");
    return 2;
  }
  printf("engine window found\n");
  if (hold > 0) return Hold(engine, wc.hInstance, wc.lpszClassName, hold);
  if (argc > 1 && strcmp(argv[1], "--stall") == 0) return Stall(engine, self);

  Check("register", (long)Command(engine, 0, (LPARAM)self), 0);
  Check("register again", (long)Command(engine, 0, (LPARAM)self), 0);

  r = Command(engine, 2, (LPARAM)self);
  printf("output ports: %d (result %ld)\n", g_outputCount, (long)r);
  if (g_outputCount > 0) {
    printf("first output: \"%s\", device %u\n", g_firstOutput, g_firstOutputDevice);
    Check("output list result", (long)r, 0);
  } else {
    Check("output list result with no output", (long)r, 1);
  }
  if (expectOutputs >= 0) Check("output count", g_outputCount < 0 ? 0 : g_outputCount, expectOutputs);
  r = Command(engine, 24, (LPARAM)self);
  printf("input ports: %d (result %ld)\n", g_inputCount, (long)r);
  if (expectInputs >= 0) Check("input count", g_inputCount < 0 ? 0 : g_inputCount, expectInputs);

  r = Command(engine, 26, (LPARAM)self);
  Check("metronome settings answered", g_metronomeReplied && r == 0, 1);
  printf("metronome settings: %d %d %d %d\n", (int)g_metronome[0], (int)g_metronome[1], (int)g_metronome[2],
         (int)g_metronome[3]);
  Check("set hold time", (long)Command(engine, 4, 500), 0);
  Check("hold time", (long)Command(engine, 3, 0), 500);
  Check("unknown command", (long)Command(engine, 9, 0), 0);

  if (g_outputCount > 0) {
    memset(request, 0, sizeof request);
    PutLe32(request + 4, 1);                  /* one output */
    PutLe32(request + 8, g_firstOutputDevice); /* the first one listed */
    PutLe32(request + 1032, 0xFFFFFFFFu);      /* no input */
    PutLe32(request + 1064, 0xFFFF);
    PutLe32(request + 1068, 1);
    data.dwData = 13;
    data.cbData = sizeof request;
    data.lpData = request;
    r = SendMessageA(engine, WM_COPYDATA, (WPARAM)self, (LPARAM)&data);
    Check("open-ports request", (long)r, 1);
    Check("open-ports reply came", g_openReplied, 1);
    Check("open reply window", (long)Le32(g_openReply), (long)(unsigned)(UINT_PTR)self);
    Check("output 0 result", (long)Le32(g_openReply + 8), 0);
    Check("input result", (long)(int)Le32(g_openReply + 1032), -1);
    /* Middle C on channel 1 of port index 0, then its release. */
    Check("note on", (long)Command(engine, 18, 0x00643C90), 0);
    Check("note off", (long)Command(engine, 18, 0x00003C80), 0);
    Check("port 255 names no port", (long)Command(engine, 18, (LPARAM)0xFF003C90u), 0);

    /* The song: loaded, started from tick 0 without a loop, played to its end. */
    BuildSong();
    data.dwData = 19;
    data.cbData = sizeof g_song;
    data.lpData = g_song;
    Check("load song", (long)SendMessageA(engine, WM_COPYDATA, (WPARAM)self, (LPARAM)&data), 1);
    memset(request, 0, 32);
    PutLe32(request + 28, 1234); /* start parameter */
    data.dwData = 21;
    data.cbData = 32;
    data.lpData = request;
    Check("start", (long)SendMessageA(engine, WM_COPYDATA, (WPARAM)self, (LPARAM)&data), 1);
    Check("start message parameter", g_startParam, 1234);
    PumpUntil(&g_notify5, 5000);
    Check("started (notification 21)", g_notify21, 1);
    Check("ended by itself (notification 12)", g_notify12, 1);
    Check("stopped (notification 5)", g_notify5, 1);
    printf("positions: %d, the last %ld\n", g_positions, g_lastPosition);
    Check("final position", g_lastPosition, 240);

    if (inputPipe && g_inputCount > 0) {
      /* Input 0 with the first output, thru to that output on the incoming channel. */
      HANDLE pipe;
      DWORD written = 0;
      static const char lines[] = "0 90 40 50\n0 80 40 00\n";
      memset(request, 0, sizeof request);
      PutLe32(request + 4, 1);
      PutLe32(request + 8, g_firstOutputDevice);
      PutLe32(request + 1032, 0);
      PutLe32(request + 1064, 0xFFFF);
      PutLe32(request + 1068, 1);
      data.dwData = 13;
      data.cbData = sizeof request;
      data.lpData = request;
      g_openReplied = 0;
      SendMessageA(engine, WM_COPYDATA, (WPARAM)self, (LPARAM)&data);
      Check("input 0 result", (long)(int)Le32(g_openReply + 1032), 0);
      memset(request, 0, 16);
      PutLe32(request + 0, g_firstOutputDevice);
      PutLe32(request + 4, 0xFFFFFFFFu); /* keep the incoming channel */
      data.dwData = 29;
      data.cbData = 16;
      data.lpData = request;
      Check("thru", (long)SendMessageA(engine, WM_COPYDATA, (WPARAM)self, (LPARAM)&data), 1);
      pipe = CreateFileA(inputPipe, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
      for (i = 0; pipe == INVALID_HANDLE_VALUE && i < 50; ++i) {
        WaitNamedPipeA(inputPipe, 100);
        pipe = CreateFileA(inputPipe, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
      }
      Check("input pipe opened", pipe != INVALID_HANDLE_VALUE, 1);
      if (pipe != INVALID_HANDLE_VALUE) {
        Check("input lines written", WriteFile(pipe, lines, sizeof lines - 1, &written, NULL) && written == sizeof lines - 1, 1);
        CloseHandle(pipe);
      }
      Sleep(500); /* the echo happens on the engine's input thread */
    }
    data.dwData = 14;
    data.cbData = 0;
    data.lpData = NULL;
    Check("close ports", (long)SendMessageA(engine, WM_COPYDATA, (WPARAM)self, (LPARAM)&data), 1);
  }

  Check("unregister", (long)Command(engine, 1, (LPARAM)self), 0);
  Check("unregister again", (long)Command(engine, 1, (LPARAM)self), 1);
  DrainPosted();
  printf("notifications 14: %d\n", g_notify14);
  printf("%s\n", g_failures == 0 ? "all answers as expected" : "some answers unexpected");
  DestroyWindow(self);
  return g_failures == 0 ? 0 : 1;
}
