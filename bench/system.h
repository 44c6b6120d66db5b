#ifndef KORVANE_BENCH_SYSTEM_H
#define KORVANE_BENCH_SYSTEM_H

// Linux facilities the benchmark needs: CPU placement, clocks, the process's own counters and
// the gateway simulator as a child process.

#include <sched.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::bench {

// How the client and the gateway threads are placed on the CPUs.
enum class Placement { kFree, kOneCpu, kSplit };
const char* PlacementName(Placement placement);

struct CpuPlan {
  cpu_set_t all;      // the mask the process started with
  cpu_set_t client;   // caller threads, and the library threads they start
  cpu_set_t gateway;  // the gateway thread or process
};

// The CPUs this process may run on, in order.
std::vector<int> AllowedCpus(cpu_set_t* mask);
// Plan for a placement; false when it needs more CPUs than there are.
bool MakeCpuPlan(Placement placement, CpuPlan* plan);
// Sets the affinity of a thread (kernel id; 0 = the calling thread). Threads it creates later
// inherit the mask, which is how the library's receive threads follow their opener.
bool Pin(pid_t tid, const cpu_set_t& mask);

// Monotonic time in nanoseconds, and the CPU time of the whole process in seconds.
int64_t NowNs();
double ProcessCpuSeconds();

// CPU seconds the whole machine spent busy since boot, and CPU seconds this process and its
// reaped children used: over a run, the difference is what other processes took.
double MachineBusySeconds();
double OwnCpuSeconds();

// Resident set size (KiB) and number of threads of this process.
struct ProcStatus {
  long rss_kib = -1;
  long threads = -1;
};
ProcStatus ReadProcStatus();

// The gateway simulator as a child process on 127.0.0.1, stopped by its PID.
class SimProcess {
 public:
  SimProcess() = default;
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Starts `path` on the first free port index from `first` down to 1, placed on `cpus`,
  // and returns once it reports that it accepts connections (or after timeout_ms).
  bool Start(const std::string& path, int first, const cpu_set_t& cpus, const std::vector<std::string>& extra,
             int timeout_ms, std::string* error);
  void Stop();
  int port_index() const { return port_index_; }

 private:
  bool Launch(const std::string& path, int index, const cpu_set_t& cpus, const std::vector<std::string>& extra,
              int timeout_ms, std::string* error);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int port_index_ = -1;
};

}  // namespace korvane::bench

#endif
