// The process's threads, read from the entries of /proc/self/task.
#include "platform/thread_count.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>

namespace platform {

std::vector<uint64_t> ThreadIdsOfThisProcess() {
  std::vector<uint64_t> ids;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(tasks))
      if (entry->d_name[0] != '.') ids.push_back(strtoull(entry->d_name, nullptr, 10));
    closedir(tasks);
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

}  // namespace platform
