#ifndef KORVANE_TESTS_E2E_CHILD_PROCESS_H
#define KORVANE_TESTS_E2E_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace korvane::e2e {

// A program run by a test, with its stdout and stderr drained by a thread into buffers so
// the program never blocks on a full pipe. The destructor kills it by its PID if it still
// runs and reaps it.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  void Signal(int signal_number);

  // Waits until stdout (or stderr) holds a line containing needle; returns that line, or
  // nothing when the time-out passes or the program ends first.
  std::optional<std::string> WaitForLine(const std::string& needle, std::chrono::milliseconds timeout,
                                         bool on_stderr = false);
  // Waits for the program to end and both pipes to close; its exit code, 128 + signal number
  // when a signal ended it, nothing on time-out.
  std::optional<int> Wait(std::chrono::milliseconds timeout);

  std::string Out();
  std::string Err();

 private:
  void Drain();

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_, err_;
  bool pipes_closed_ = false;
  std::optional<int> exit_code_;
  std::thread drainer_;
};

// The result of a program run to its end.
struct Finished {
  int exit_code = -1;  // -1: it did not end in time (it was killed)
  std::string out, err;
  std::chrono::milliseconds took{0};
};
Finished RunToEnd(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

// True when nothing listens on 127.0.0.1:port (checked by binding it for a moment, with
// SO_REUSEADDR as a listener would).
bool PortFree(int port);

}  // namespace korvane::e2e

#endif
