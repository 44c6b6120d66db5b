#ifndef KORVANE_BENCH_ECHO_GATEWAY_H
#define KORVANE_BENCH_ECHO_GATEWAY_H

// A minimal gateway on 127.0.0.1 that answers every request at once, so that a round trip
// measures the client and the loopback, nothing else. One thread polls the listening socket
// and every connection; it holds a few bytes per connection, so the memory and thread counts
// of a process that hosts it and many open devices are the library's.
//
// Answers: connect -> {0}; disconnect -> {0}, then the connection is closed; I2CRead -> {0}
// and the requested number of bytes; I2CWrite -> {0} and the 16-bit count of data bytes;
// anything else -> {0}. Confirmations from the client (bit 15 set) are not answered.

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace korvane::bench {

class EchoGateway {
 public:
  EchoGateway() = default;
  ~EchoGateway();
  EchoGateway(const EchoGateway&) = delete;
  EchoGateway& operator=(const EchoGateway&) = delete;

  // Listens on 5000 + 100 * index for the first index from `first` down to 1 whose port is
  // free, and starts the thread. False with error() set when none is free.
  bool Start(int first_port_index);
  void Stop();

  int port_index() const { return port_index_; }
  int port() const { return 5000 + 100 * port_index_; }
  const std::string& error() const { return error_; }

  // Kernel id of the gateway thread, for sched_setaffinity.
  pid_t tid() const { return tid_.load(); }
  // CPU time the gateway thread has used, in seconds.
  double CpuSeconds() const;

  // Sends a disconnect request on every open connection.
  void RequestDisconnectAll();
  // Connections that the client side closed so far.
  uint64_t ClosedByClient() const;
  // Waits until ClosedByClient() reaches count or timeout_ms pass; true when it did.
  bool WaitClosedByClient(uint64_t count, int timeout_ms);

 private:
  void Run();
  void Wake(char what);

  int listen_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  int port_index_ = -1;
  std::string error_;
  std::thread thread_;
  pthread_t native_{};
  std::atomic<pid_t> tid_{0};

  mutable std::mutex mutex_;
  std::condition_variable closed_cv_;
  uint64_t closed_by_client_ = 0;  // guarded by mutex_
};

}  // namespace korvane::bench

#endif
