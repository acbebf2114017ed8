// The process's threads, counted from the entries of /proc/self/task.
#include "platform/thread_count.h"

#include <dirent.h>

namespace platform {

int ThreadCountOfThisProcess() {
  int count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
    closedir(tasks);
  }
  return count;
}

}  // namespace platform
