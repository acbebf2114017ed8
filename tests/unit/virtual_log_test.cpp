// The virtual devices' log is what tests and users read to know what a device received: lines
// written from several threads at once (the timer thread's song beside the main thread's direct
// sends) must each arrive whole, and none may go missing, on every system.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/midi_virtual_io.h"
#include "support/owned_thread.h"

namespace vm = platform::virtual_midi;

TEST(VirtualLog, LinesFromSeveralThreadsAtOnceAreAllThereAndWhole) {
  std::filesystem::path path = std::filesystem::temp_directory_path() / "tovu_virtual_log_test.log";
  std::filesystem::remove(path);
  vm::LogFile log = vm::OpenLog(path.string());
  ASSERT_NE(log, vm::kNoLog);
  constexpr int kWriters = 3;
  constexpr int kLines = 20000;
  {
    std::vector<OwnedThread> writers;
    for (int w = 0; w < kWriters; ++w)
      writers.emplace_back([log, w] {
        char line[32];
        for (int i = 0; i < kLines; ++i) {
          int n = std::snprintf(line, sizeof line, "%d data out%d %05d\n", w, w, i);
          vm::WriteLog(log, line, static_cast<size_t>(n));
        }
      });
  }
  vm::CloseLog(log);
  std::ifstream in(path);
  std::set<std::string> seen;
  size_t malformed = 0;
  for (std::string line; std::getline(in, line);) {
    int w = -1, i = -1;
    char whole[32] = "";
    if (std::sscanf(line.c_str(), "%d data out%*d %d", &w, &i) == 2)
      std::snprintf(whole, sizeof whole, "%d data out%d %05d", w, w, i);
    if (line == whole)
      seen.insert(line);
    else
      ++malformed;
  }
  in.close();
  std::filesystem::remove(path);
  EXPECT_EQ(malformed, 0u);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kWriters * kLines));
}
