#include "system.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

namespace korvane::bench {

const char* PlacementName(Placement placement) {
  switch (placement) {
    case Placement::kFree: return "free";
    case Placement::kOneCpu: return "one-cpu";
    case Placement::kSplit: return "split";
  }
  return "?";
}

std::vector<int> AllowedCpus(cpu_set_t* mask) {
  CPU_ZERO(mask);
  std::vector<int> cpus;
  if (sched_getaffinity(0, sizeof *mask, mask) != 0) return cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, mask)) cpus.push_back(cpu);
  }
  return cpus;
}

bool MakeCpuPlan(Placement placement, CpuPlan* plan) {
  static cpu_set_t start_mask;
  static const std::vector<int> cpus = AllowedCpus(&start_mask);
  plan->all = start_mask;
  plan->client = start_mask;
  plan->gateway = start_mask;
  if (placement == Placement::kFree) return !cpus.empty();
  if (cpus.empty() || (placement == Placement::kSplit && cpus.size() < 2)) return false;
  CPU_ZERO(&plan->client);
  CPU_ZERO(&plan->gateway);
  CPU_SET(cpus[0], &plan->client);
  CPU_SET(placement == Placement::kSplit ? cpus[1] : cpus[0], &plan->gateway);
  return true;
}

bool Pin(pid_t tid, const cpu_set_t& mask) { return sched_setaffinity(tid, sizeof mask, &mask) == 0; }

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double MachineBusySeconds() {
  std::ifstream in("/proc/stat");
  std::string cpu;
  // user nice system idle iowait irq softirq steal: everything but idle and iowait is busy.
  double user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
  if (!(in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal) || cpu != "cpu") return NAN;
  return (user + nice + system + irq + softirq + steal) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double OwnCpuSeconds() {
  double total = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage usage{};
    getrusage(who, &usage);
    for (const timeval& t : {usage.ru_utime, usage.ru_stime}) {
      total += static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    }
  }
  return total;
}

ProcStatus ReadProcStatus() {
  ProcStatus status;
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) status.rss_kib = std::strtol(line.c_str() + 6, nullptr, 10);
    if (line.rfind("Threads:", 0) == 0) status.threads = std::strtol(line.c_str() + 8, nullptr, 10);
  }
  return status;
}

namespace {

bool PortFree(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return free;
}

}  // namespace

SimProcess::~SimProcess() { Stop(); }

bool SimProcess::Start(const std::string& path, int first, const cpu_set_t& cpus, const std::vector<std::string>& extra,
                       int timeout_ms, std::string* error) {
  for (int index = first; index >= 1; --index) {
    if (!PortFree(5000 + 100 * index)) continue;
    // Another process may take the port between the check and the simulator's bind; the
    // simulator then exits and the next index is tried.
    if (Launch(path, index, cpus, extra, timeout_ms, error)) return true;
    if (pid_ > 0) return false;  // started but did not report in time
  }
  if (error->empty()) *error = "no free port index for the simulator";
  return false;
}

bool SimProcess::Launch(const std::string& path, int index, const cpu_set_t& cpus,
                        const std::vector<std::string>& extra, int timeout_ms, std::string* error) {
  std::vector<std::string> args = {path, "--port-index", std::to_string(index)};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("fork: ") + std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return false;
  }
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec: the parent has other threads.
    sched_setaffinity(0, sizeof cpus, &cpus);
    dup2(out[1], STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  pid_ = pid;
  out_fd_ = out[0];

  std::string text;
  const int64_t deadline = NowNs() + int64_t{timeout_ms} * 1000000;
  for (;;) {
    const auto newline = text.find('\n');
    if (newline != std::string::npos) {
      if (text.rfind("listening on ", 0) == 0) {
        port_index_ = index;
        return true;
      }
      text.erase(0, newline + 1);
      continue;
    }
    const int64_t left_ms = (deadline - NowNs()) / 1000000;
    if (left_ms <= 0) {
      *error = "the simulator did not report that it listens";
      return false;  // pid_ stays set: Stop ends it
    }
    pollfd p{out_fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left_ms)) < 0 && errno != EINTR) break;
    char chunk[256];
    const ssize_t n = read(out_fd_, chunk, sizeof chunk);
    if (n == 0) break;  // it exited, most likely because the port was taken
    if (n > 0) text.append(chunk, static_cast<std::size_t>(n));
  }
  *error = "the simulator exited before listening on port index " + std::to_string(index);
  Stop();
  return false;
}

void SimProcess::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    // Bounded: it stops on SIGTERM at once; after two seconds it is killed.
    bool reaped = false;
    for (int i = 0; i < 2000 && !reaped; ++i) {
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      reaped = r == pid_ || (r < 0 && errno != EINTR);
      if (!reaped) poll(nullptr, 0, 1);
    }
    if (!reaped) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  if (out_fd_ >= 0) close(out_fd_);
  out_fd_ = -1;
  port_index_ = -1;
}

}  // namespace korvane::bench
