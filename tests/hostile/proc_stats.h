#ifndef KORVANE_TESTS_HOSTILE_PROC_STATS_H
#define KORVANE_TESTS_HOSTILE_PROC_STATS_H

// What this process holds, read from /proc/self.

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace korvane::test {

inline int CountEntries(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return -1;
  int n = 0;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n - (std::string(dir) == "/proc/self/fd" ? 1 : 0);  // the directory handle itself
}

inline int OpenDescriptors() { return CountEntries("/proc/self/fd"); }
inline int Threads() { return CountEntries("/proc/self/task"); }

inline long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// Count from the environment (for the long soak), else the short default.
inline int EnvCount(const char* name, int fallback) {
  const char* v = std::getenv(name);
  const int n = v != nullptr ? std::atoi(v) : 0;
  return n > 0 ? n : fallback;
}

}  // namespace korvane::test

#endif
