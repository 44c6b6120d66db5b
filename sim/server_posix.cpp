// The TCP edge of the simulator: one thread, one poll() loop over the listening socket, the
// connections and a self-pipe that the signal handler writes to. Replies that take bus time
// or an injected delay wait in a per-connection schedule; until the last reply is out, the
// next request of that connection waits too, as on a gateway that serves one request at a time.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "server.h"
#include "telegram_log.h"
#include "transport/stream_cutter.h"

namespace korvane::sim {
namespace {

constexpr std::size_t kMaxConnections = 64;  // TCP connections; the gateway's slots are fewer
constexpr int kMaxPollWaitMs = 1000;
// A client that sends faster than its requests are served is not read further until the
// backlog shrinks.
constexpr std::size_t kMaxBacklog = 256;
// On SIGINT or SIGTERM the clients get a disconnect request and this long to confirm it; a
// second signal ends the wait.
constexpr Millis kShutdownGraceMs = 1000;

int g_signal_pipe[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  const ssize_t ignored = write(g_signal_pipe[1], &byte, 1);
  (void)ignored;
}

Millis Now() {
  using namespace std::chrono;
  return static_cast<Millis>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

struct Scheduled {
  Millis due = 0;
  std::vector<std::vector<uint8_t>> telegrams;
  bool close = false;
};

struct Connection {
  int fd = -1;
  int number = 0;
  std::unique_ptr<Session> session;
  CStreamCutter cutter;
  std::deque<std::vector<uint8_t>> inbox;
  Millis held_until = 0;
  std::deque<Scheduled> schedule;
  std::vector<uint8_t> out;
  bool closing = false;  // no more reading; closed once the output is out
  bool dead = false;
};

class Server {
 public:
  Server(const ServerOptions& options, Gateway& gateway) : options_(options), gateway_(gateway) {}
  int Run();

 private:
  bool Listen();
  void Accept();
  void Receive(Connection& c);
  void Flush(Connection& c);
  void Process(Connection& c, Millis now);
  void Log(const Connection& c, const char* direction, const std::vector<uint8_t>& frame) const;
  void Note(const Connection& c, const std::string& text) const;
  void Queue(Connection& c, const std::vector<std::vector<uint8_t>>& telegrams);
  int WaitMs(Millis now) const;
  void BeginShutdown(Millis now);

  ServerOptions options_;
  Gateway& gateway_;
  int listen_fd_ = -1;
  int next_number_ = 1;
  bool stopping_ = false;
  Millis stop_deadline_ = 0;
  Millis started_ = Now();
  std::vector<std::unique_ptr<Connection>> connections_;
};

bool Server::Listen() {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(options_.port);
  const int rc = getaddrinfo(options_.listen.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    std::fprintf(stderr, "korvane-gwsim: cannot listen on %s: %s\n", options_.listen.c_str(), gai_strerror(rc));
    return false;
  }
  const bool v6 = found->ai_family == AF_INET6;
  listen_fd_ = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  if (listen_fd_ < 0 || setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(listen_fd_, found->ai_addr, found->ai_addrlen) != 0 || listen(listen_fd_, 16) != 0) {
    std::fprintf(stderr, "korvane-gwsim: cannot listen on %s port %d: %s\n", options_.listen.c_str(),
                 options_.port, std::strerror(errno));
    freeaddrinfo(found);
    return false;
  }
  freeaddrinfo(found);
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &size);
  const int port_number = v6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                             : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  if (v6) {
    std::printf("listening on [%s]:%d\n", options_.listen.c_str(), port_number);
  } else {
    std::printf("listening on %s:%d\n", options_.listen.c_str(), port_number);
  }
  std::fflush(stdout);
  return true;
}

void Server::Note(const Connection& c, const std::string& text) const {
  if (!options_.verbose) return;
  std::fprintf(stderr, "[%8.3f] conn %d: %s\n", static_cast<double>(Now() - started_) / 1000.0, c.number,
               text.c_str());
}

void Server::Log(const Connection& c, const char* direction, const std::vector<uint8_t>& frame) const {
  if (!options_.verbose) return;
  Note(c, std::string(direction) + " " + DescribeTelegram(frame.data(), frame.size()));
}

void Server::Accept() {
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  if (connections_.size() >= kMaxConnections) {
    close(fd);
    return;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  auto c = std::make_unique<Connection>();
  c->fd = fd;
  c->number = next_number_++;
  c->session = std::make_unique<Session>(gateway_);
  Note(*c, "accepted");
  connections_.push_back(std::move(c));
}

void Server::Receive(Connection& c) {
  const ssize_t n = recv(c.fd, c.cutter.WritePointer(), c.cutter.WantBytes(), 0);
  if (n > 0) {
    c.cutter.Commit(static_cast<std::size_t>(n), [&c](const uint8_t* frame, std::size_t length) {
      c.inbox.emplace_back(frame, frame + length);
    });
    return;
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  Note(c, n == 0 ? "closed by the client" : std::string("receive failed: ") + std::strerror(errno));
  c.dead = true;
}

void Server::Flush(Connection& c) {
  while (!c.out.empty()) {
    const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      Note(c, std::string("send failed: ") + std::strerror(errno));
      c.dead = true;
      return;
    }
    c.out.erase(c.out.begin(), c.out.begin() + n);
  }
  if (c.closing && c.schedule.empty()) {
    Note(c, "closing");
    c.dead = true;
  }
}

void Server::Queue(Connection& c, const std::vector<std::vector<uint8_t>>& telegrams) {
  for (const auto& t : telegrams) {
    Log(c, "->", t);
    c.out.insert(c.out.end(), t.begin(), t.end());
  }
}

void Server::Process(Connection& c, Millis now) {
  // Requests in arrival order, each after the previous reply went out; confirmations from the
  // client are taken at once.
  while (!c.inbox.empty() && !c.closing) {
    const std::vector<uint8_t>& frame = c.inbox.front();
    const bool confirmation = frame.size() >= 4 && (frame[3] & 0x80u) != 0;
    if (!confirmation && now < c.held_until) break;
    Log(c, "<-", frame);
    Outgoing out = c.session->OnTelegram(frame.data(), frame.size(), now);
    c.inbox.pop_front();
    if (!out.note.empty()) Note(c, out.note);
    if (out.telegrams.empty() && !out.close) continue;
    const Millis due = now + out.after_ms;
    if (!out.telegrams.empty()) c.held_until = due;
    c.schedule.push_back(Scheduled{due, std::move(out.telegrams), out.close});
    if (out.close) c.closing = true;
  }
  if (const auto timer = c.session->NextTimer(); timer && *timer <= now && !c.closing) {
    Outgoing out = c.session->OnTimer(now);
    if (!out.note.empty()) Note(c, out.note);
    Queue(c, out.telegrams);
    if (out.close) c.closing = true;
  }
  while (!c.schedule.empty() && c.schedule.front().due <= now) {
    Queue(c, c.schedule.front().telegrams);
    if (c.schedule.front().close) c.closing = true;
    c.schedule.pop_front();
  }
}

int Server::WaitMs(Millis now) const {
  Millis next = now + kMaxPollWaitMs;
  for (const auto& c : connections_) {
    if (!c->schedule.empty()) next = std::min(next, c->schedule.front().due);
    if (!c->inbox.empty()) next = std::min(next, c->held_until);
    if (const auto timer = c->session->NextTimer()) next = std::min(next, *timer);
  }
  if (stopping_) next = std::min(next, stop_deadline_);
  return next <= now ? 0 : static_cast<int>(next - now);
}

void Server::BeginShutdown(Millis now) {
  stopping_ = true;
  stop_deadline_ = now + kShutdownGraceMs;
  close(listen_fd_);
  listen_fd_ = -1;  // poll() skips it from now on
  for (auto& c : connections_) {
    if (c->closing) continue;
    Outgoing out = c->session->Disconnect();
    Queue(*c, out.telegrams);
    if (out.close) c->closing = true;
  }
}

int Server::Run() {
  if (pipe2(g_signal_pipe, O_NONBLOCK | O_CLOEXEC) != 0) return 1;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  if (!Listen()) return 1;

  std::vector<pollfd> fds;
  for (;;) {
    Millis now = Now();
    for (auto& c : connections_) {
      Process(*c, now);
      Flush(*c);
    }
    for (auto it = connections_.begin(); it != connections_.end();) {
      if ((*it)->dead) {
        close((*it)->fd);
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
    if (stopping_ && (connections_.empty() || now >= stop_deadline_)) break;

    fds.clear();
    fds.push_back({g_signal_pipe[0], POLLIN, 0});
    fds.push_back({listen_fd_, POLLIN, 0});
    for (const auto& c : connections_) {
      short events = c->closing || c->inbox.size() >= kMaxBacklog ? 0 : POLLIN;
      if (!c->out.empty()) events |= POLLOUT;
      fds.push_back({c->fd, events, 0});
    }
    const int ready = poll(fds.data(), fds.size(), WaitMs(now));
    if (ready < 0 && errno != EINTR) {
      std::perror("korvane-gwsim: poll");
      return 1;
    }
    if (ready <= 0) continue;
    if ((fds[0].revents & POLLIN) != 0) {
      char drained[16];
      while (read(g_signal_pipe[0], drained, sizeof drained) > 0) {
      }
      if (stopping_) break;
      BeginShutdown(Now());
      continue;
    }
    // Connections accepted now come after the ones polled, so the indexes below stay valid.
    const std::size_t polled = connections_.size();
    if ((fds[1].revents & POLLIN) != 0) Accept();
    for (std::size_t i = 0; i < polled; ++i) {
      Connection& c = *connections_[i];
      const short revents = fds[i + 2].revents;
      if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !c.closing) Receive(c);
      if ((revents & POLLOUT) != 0) Flush(c);
      if ((revents & (POLLHUP | POLLERR)) != 0 && c.closing) c.dead = true;
    }
  }

  for (auto& c : connections_) close(c->fd);
  connections_.clear();
  if (listen_fd_ >= 0) close(listen_fd_);
  if (options_.verbose) std::fprintf(stderr, "korvane-gwsim: stopped\n");
  return 0;
}

}  // namespace

int RunServer(const ServerOptions& options, Gateway& gateway) {
  Server server(options, gateway);
  return server.Run();
}

}  // namespace korvane::sim
