#include "echo_gateway.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <future>
#include <vector>

#include "telegram.h"

namespace korvane::bench {
namespace {

constexpr char kWakeStop = 's';
constexpr char kWakeDisconnect = 'd';
constexpr uint16_t kGatewayDisconnectId = 0x4242;

struct Connection {
  int fd = -1;
  Bytes in;
};

void SendAll(int fd, const Bytes& bytes, bool* ok) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *ok = false;
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

// Answers one whole frame; false when the connection is to be closed afterwards.
bool Answer(int fd, const uint8_t* frame, std::size_t size, Bytes* payload, bool* ok) {
  if (size < kFrameOverhead) return true;
  const uint16_t command = ReadLE16(frame + 2);
  const uint16_t id = ReadLE16(frame + 4);
  if (command & kReplyBit) return true;
  const uint8_t* p = frame + 6;
  const std::size_t n = size - kFrameOverhead;
  payload->assign(1, 0);
  if (command == kCmdRead && n >= 4) {
    const uint16_t count = ReadLE16(p + 2);
    for (uint16_t i = 0; i < count; ++i) payload->push_back(static_cast<uint8_t>(i));
  } else if (command == kCmdWrite && n >= 2) {
    const auto written = static_cast<uint16_t>(n - 2);
    payload->push_back(static_cast<uint8_t>(written));
    payload->push_back(static_cast<uint8_t>(written >> 8));
  }
  SendAll(fd, MakeTelegram(static_cast<uint16_t>(command | kReplyBit), id, payload->data(), payload->size()), ok);
  return command != kCmdDisconnect;
}

}  // namespace

EchoGateway::~EchoGateway() { Stop(); }

bool EchoGateway::Start(int first_port_index) {
  if (pipe(wake_pipe_) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  for (int index = first_port_index; index >= 1 && listen_fd_ < 0; --index) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) break;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(5000 + 100 * index));
    // Binding is the test for a free port: no other process can take it from us afterwards.
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd, 512) == 0) {
      listen_fd_ = fd;
      port_index_ = index;
    } else {
      close(fd);
    }
  }
  if (listen_fd_ < 0) {
    error_ = "no free port 5000 + 100 * index on 127.0.0.1";
    return false;
  }
  std::promise<void> started;
  std::future<void> running = started.get_future();
  thread_ = std::thread([this, &started] {
    tid_ = static_cast<pid_t>(syscall(SYS_gettid));
    started.set_value();
    Run();
  });
  running.wait();
  native_ = thread_.native_handle();
  return true;
}

void EchoGateway::Stop() {
  if (thread_.joinable()) {
    Wake(kWakeStop);
    thread_.join();
  }
  for (int* fd : {&listen_fd_, &wake_pipe_[0], &wake_pipe_[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

double EchoGateway::CpuSeconds() const {
  clockid_t clock;
  timespec ts{};
  if (!thread_.joinable() || pthread_getcpuclockid(native_, &clock) != 0 || clock_gettime(clock, &ts) != 0) {
    return 0.0;
  }
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void EchoGateway::RequestDisconnectAll() { Wake(kWakeDisconnect); }

uint64_t EchoGateway::ClosedByClient() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_by_client_;
}

bool EchoGateway::WaitClosedByClient(uint64_t count, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return closed_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return closed_by_client_ >= count; });
}

void EchoGateway::Wake(char what) {
  while (write(wake_pipe_[1], &what, 1) < 0 && errno == EINTR) {
  }
}

void EchoGateway::Run() {
  std::vector<Connection> connections;
  std::vector<pollfd> fds;
  Bytes payload;
  uint8_t chunk[16384];
  for (;;) {
    fds.clear();
    fds.push_back({wake_pipe_[0], POLLIN, 0});
    fds.push_back({listen_fd_, POLLIN, 0});
    for (const Connection& c : connections) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) {
      char what = 0;
      if (read(wake_pipe_[0], &what, 1) == 1 && what == kWakeStop) break;
      if (what == kWakeDisconnect) {
        const Bytes request = MakeTelegram(kCmdDisconnect, kGatewayDisconnectId, nullptr, 0);
        for (Connection& c : connections) {
          bool ok = true;
          SendAll(c.fd, request, &ok);
        }
      }
    }
    // Connections accepted below are polled from the next pass on; index i + 2 is connection i.
    const std::size_t polled = fds.size() - 2;
    uint64_t closed_now = 0;
    for (std::size_t i = 0; i < polled; ++i) {
      if (!fds[i + 2].revents) continue;
      Connection& c = connections[i];
      const ssize_t n = recv(c.fd, chunk, sizeof chunk, 0);
      if (n < 0 && errno == EINTR) continue;
      bool keep = n > 0;
      if (!keep) ++closed_now;
      if (keep) {
        c.in.insert(c.in.end(), chunk, chunk + n);
        std::size_t pos = 0;
        while (keep && c.in.size() - pos >= 2) {
          const std::size_t size = std::size_t{ReadLE16(&c.in[pos])} + 2;
          if (c.in.size() - pos < size) break;
          bool ok = true;
          keep = Answer(c.fd, &c.in[pos], size, &payload, &ok) && ok;
          pos += size;
        }
        c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(pos));
      }
      if (!keep) {
        close(c.fd);
        c.fd = -1;
      }
    }
    connections.erase(
        std::remove_if(connections.begin(), connections.end(), [](const Connection& c) { return c.fd < 0; }),
        connections.end());
    if (closed_now) {
      std::lock_guard<std::mutex> lock(mutex_);
      closed_by_client_ += closed_now;
      closed_cv_.notify_all();
    }
    if (fds[1].revents) {
      const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        connections.push_back({fd, {}});
      }
    }
  }
  for (Connection& c : connections) close(c.fd);
}

}  // namespace korvane::bench
