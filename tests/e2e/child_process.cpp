#include "child_process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace korvane::e2e {

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return;
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
  if (pid_ < 0) {
    close(out_fd_);
    close(err_fd_);
    return;
  }
  drainer_ = std::thread([this] { Drain(); });
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !Wait(std::chrono::milliseconds(0))) {
    kill(pid_, SIGCONT);  // a stopped program must run to take the kill
    kill(pid_, SIGKILL);
    Wait(std::chrono::seconds(10));
  }
  if (drainer_.joinable()) drainer_.join();
}

void ChildProcess::Drain() {
  int fds[2] = {out_fd_, err_fd_};
  std::string* buffers[2] = {&out_, &err_};
  int open = 2;
  while (open > 0) {
    pollfd p[2];
    for (int i = 0; i < 2; ++i) p[i] = {fds[i], POLLIN, 0};
    if (poll(p, 2, -1) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0 || (p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char chunk[4096];
      const ssize_t n = read(fds[i], chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      if (n <= 0) {
        close(fds[i]);
        fds[i] = -1;  // poll ignores negative descriptors
        --open;
      } else {
        buffers[i]->append(chunk, static_cast<std::size_t>(n));
      }
      changed_.notify_all();
    }
  }
  int status = 0;
  waitpid(pid_, &status, 0);
  std::lock_guard<std::mutex> lock(mutex_);
  pipes_closed_ = true;
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  changed_.notify_all();
}

void ChildProcess::Signal(int signal_number) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pid_ > 0 && !exit_code_) kill(pid_, signal_number);
}

std::optional<std::string> ChildProcess::WaitForLine(const std::string& needle, std::chrono::milliseconds timeout,
                                                     bool on_stderr) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::string& text = on_stderr ? err_ : out_;
    const std::size_t at = text.find(needle);
    if (at != std::string::npos) {
      const std::size_t end = text.find('\n', at);
      if (end != std::string::npos) {
        const std::size_t start = text.rfind('\n', at);
        return text.substr(start == std::string::npos ? 0 : start + 1,
                           end - (start == std::string::npos ? 0 : start + 1));
      }
    }
    if (pipes_closed_) return std::nullopt;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) return std::nullopt;
  }
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [this] { return exit_code_.has_value(); });
  return exit_code_;
}

std::string ChildProcess::Out() {
  std::lock_guard<std::mutex> lock(mutex_);
  return out_;
}

std::string ChildProcess::Err() {
  std::lock_guard<std::mutex> lock(mutex_);
  return err_;
}

Finished RunToEnd(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  const auto start = std::chrono::steady_clock::now();
  ChildProcess p(argv);
  Finished run;
  const std::optional<int> code = p.Wait(timeout);
  run.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  run.exit_code = code ? *code : -1;
  if (!code) {
    p.Signal(SIGKILL);
    p.Wait(std::chrono::seconds(10));
  }
  run.out = p.Out();
  run.err = p.Err();
  return run;
}

bool PortFree(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // As the simulator binds: connections of earlier runs that linger in TIME_WAIT on the
  // port do not keep a listener off it.
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return free;
}

}  // namespace korvane::e2e
