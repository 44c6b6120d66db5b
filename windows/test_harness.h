#ifndef KORVANE_WINDOWS_TEST_HARNESS_H
#define KORVANE_WINDOWS_TEST_HARNESS_H

// A small test runner for the programs that run under Wine, where GoogleTest is not at hand:
// a table of named cases, each run to its end, failures counted per case.

#include <cstdio>
#include <cstring>

namespace korvane_test {

struct Case {
  const char* name;
  void (*body)();
};

inline int& Failures() {
  static int failures = 0;
  return failures;
}

inline bool Check(bool ok, const char* what, const char* file, int line) {
  if (!ok) {
    std::printf("  %s:%d: check failed: %s\n", file, line, what);
    ++Failures();
  }
  return ok;
}

inline bool CheckEq(long long actual, long long expected, const char* what, const char* file, int line) {
  if (actual != expected) {
    std::printf("  %s:%d: %s is %lld (0x%llx), expected %lld (0x%llx)\n", file, line, what, actual, actual,
                expected, expected);
    ++Failures();
  }
  return actual == expected;
}

inline bool CheckStr(const char* actual, const char* expected, const char* what, const char* file, int line) {
  const bool ok = actual != nullptr && std::strcmp(actual, expected) == 0;
  if (!ok) {
    std::printf("  %s:%d: %s is \"%s\", expected \"%s\"\n", file, line, what, actual ? actual : "(null)", expected);
    ++Failures();
  }
  return ok;
}

// Runs the cases whose name contains filter (all for null); 0 when every case passed.
inline int RunCases(const Case* cases, std::size_t count, const char* filter) {
  int failed_cases = 0;
  int run = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (filter != nullptr && std::strstr(cases[i].name, filter) == nullptr) continue;
    const int before = Failures();
    std::printf("[ RUN  ] %s\n", cases[i].name);
    std::fflush(stdout);
    cases[i].body();
    const bool ok = Failures() == before;
    std::printf("[ %s ] %s\n", ok ? " OK " : "FAIL", cases[i].name);
    std::fflush(stdout);
    if (!ok) ++failed_cases;
    ++run;
  }
  std::printf("%d case(s) run, %d failed\n", run, failed_cases);
  return run == 0 || failed_cases != 0 ? 1 : 0;
}

}  // namespace korvane_test

#define KCHECK(cond) ::korvane_test::Check((cond), #cond, __FILE__, __LINE__)
#define KCHECK_EQ(actual, expected) \
  ::korvane_test::CheckEq(static_cast<long long>(actual), static_cast<long long>(expected), #actual, __FILE__, __LINE__)
#define KCHECK_STR(actual, expected) ::korvane_test::CheckStr((actual), (expected), #actual, __FILE__, __LINE__)

#endif
