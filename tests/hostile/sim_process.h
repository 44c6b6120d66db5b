#ifndef KORVANE_TESTS_HOSTILE_SIM_PROCESS_H
#define KORVANE_TESTS_HOSTILE_SIM_PROCESS_H

// The gateway simulator as a child process: started on a free port index, ready once it
// prints its "listening on" line, stopped by its PID.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace korvane::test {

class SimProcess {
 public:
  SimProcess() = default;
  ~SimProcess() { Stop(); }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Starts the simulator on port index `index` with the extra options; true once it
  // listens, false when it exits first or says nothing within the bound.
  bool Start(int index, const std::vector<std::string>& options,
             std::chrono::milliseconds bound = std::chrono::milliseconds(10000)) {
    Stop();
    int out[2];
    if (pipe(out) != 0) return false;
    std::vector<std::string> args = {KORVANE_GWSIM_PATH, "--port-index", std::to_string(index)};
    args.insert(args.end(), options.begin(), options.end());
    // Built before fork: the child of a threaded process may not allocate.
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
      close(out[0]);
      close(out[1]);
      return false;
    }
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      // The simulator must not hold copies of the test's sockets (the library's among them).
      for (int fd = 3; fd < 4096; ++fd) close(fd);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    // The read end stays open while it runs, so a later line never meets a closed pipe.
    out_ = out[0];
    const bool ready = WaitForLine(out_, "listening on", bound);
    if (!ready) Stop();
    return ready;
  }

  // Tries random port indices until the simulator listens on one; the index, or -1.
  int StartOnFreeIndex(const std::vector<std::string>& options) {
    std::mt19937 rng(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 30; ++attempt) {
      const int i = static_cast<int>(rng() % 99) + 1;
      if (Start(i, options)) return i;
    }
    return -1;
  }

  pid_t pid() const { return pid_; }
  bool Signal(int sig) const { return pid_ > 0 && kill(pid_, sig) == 0; }

  // SIGKILL (no goodbye to anybody) and reap.
  void Kill() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    CloseOutput();
  }

  // SIGTERM (after SIGCONT, in case it was stopped) and reap; SIGKILL if it lingers.
  void Stop() {
    if (pid_ <= 0) return CloseOutput();
    kill(pid_, SIGCONT);
    kill(pid_, SIGTERM);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > until) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        break;
      }
      poll(nullptr, 0, 10);
    }
    pid_ = -1;
    CloseOutput();
  }

 private:
  void CloseOutput() {
    if (out_ >= 0) close(out_);
    out_ = -1;
  }

  static bool WaitForLine(int fd, const std::string& text, std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    std::string seen;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buffer[256];
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) return false;  // exited (port taken, bad option)
      seen.append(buffer, static_cast<std::size_t>(n));
      if (seen.find(text) != std::string::npos) return true;
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
};

}  // namespace korvane::test

#endif
