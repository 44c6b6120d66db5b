// The Windows backends of the platform layer, run under Wine: events, mutexes, threads,
// clocks, the time zone and the socket shim.
//   platform_test [filter]            runs the cases (those whose name contains filter)
//   platform_test --zone-offset N     checks that the present zone offset is N hours
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "platform/KorEvent.h"
#include "platform/KorMutex.h"
#include "platform/KorThread.h"
#include "platform/KorTime.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/thread_backend.h"
#include "platform/win32/zone_win32.h"
#include "test_harness.h"

namespace {

using namespace korvane;
namespace pf = korvane::platform;

int64_t NowUs() { return pf::MonotonicMicros(); }

// Runs fn on a thread of its own (a plain Windows thread, not the backend under test).
class Helper {
 public:
  template <typename Fn>
  explicit Helper(Fn fn) : fn_(new Fn(std::move(fn))), call_(&Call<Fn>), drop_(&Drop<Fn>) {
    thread_ = ::CreateThread(nullptr, 0, &Main, this, 0, nullptr);
  }
  ~Helper() {
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    drop_(fn_);
  }

 private:
  template <typename Fn>
  static void Call(void* fn) { (*static_cast<Fn*>(fn))(); }
  template <typename Fn>
  static void Drop(void* fn) { delete static_cast<Fn*>(fn); }
  static DWORD WINAPI Main(void* self) {
    auto* h = static_cast<Helper*>(self);
    h->call_(h->fn_);
    return 0;
  }
  void* fn_;
  void (*call_)(void*);
  void (*drop_)(void*);
  HANDLE thread_;
};

// ---- events and mutexes

void EventIsAutoResetAndKeepsAPendingSet() {
  CKorEvent event;
  KCHECK(!event.Wait(0));
  event.Set();
  event.Set();  // two sets before one wait release only that wait
  KCHECK(event.Wait(0));
  KCHECK(!event.Wait(0));
  event.Set();
  event.Reset();
  KCHECK(!event.Wait(0));
}

void EventTimedWaitIsNeverEarly() {
  // Around the 15.6 ms scheduler tick and well above it.
  const uint32_t timeouts[] = {1, 10, 15, 16, 17, 31, 50, 120};
  for (const uint32_t ms : timeouts) {
    CKorEvent event;
    const int64_t start = NowUs();
    const bool signaled = event.Wait(ms);
    const int64_t waited = NowUs() - start;
    KCHECK(!signaled);
    if (!KCHECK(waited >= static_cast<int64_t>(ms) * 1000)) std::printf("  %u ms wait took %lld us\n", ms, (long long)waited);
    KCHECK(waited < static_cast<int64_t>(ms) * 1000 + 1000000);
  }
}

void EventSetFromAnotherThreadWakesTheWaiter() {
  CKorEvent event;
  CKorEvent waiting;
  int64_t woke_after = -1;
  {
    Helper waiter([&] {
      const int64_t start = NowUs();
      waiting.Set();
      if (event.Wait(10000)) woke_after = NowUs() - start;
    });
    KCHECK(waiting.Wait(10000));
    event.Set();
  }
  KCHECK(woke_after >= 0);
  KCHECK(woke_after < 5000000);
  KCHECK(!event.Wait(0));  // the waiter consumed the signal
}

void MutexIsRecursiveAndExclusive() {
  CKorMutex mutex;
  mutex.Lock();
  mutex.Lock();
  bool other_got_it = true;
  { Helper other([&] { other_got_it = mutex.TryLock(); }); }
  KCHECK(!other_got_it);
  mutex.Unlock();
  { Helper other([&] { other_got_it = mutex.TryLock(); }); }
  KCHECK(!other_got_it);  // still held once
  mutex.Unlock();
  bool later = false;
  {
    Helper other([&] {
      later = mutex.TryLock();
      if (later) mutex.Unlock();
    });
  }
  KCHECK(later);
  KCHECK(mutex.TryLock());
  KCHECK(mutex.TryLock());
  mutex.Unlock();
  mutex.Unlock();
}

void MutexSerializesThreads() {
  CKorMutex mutex;
  long counter = 0;
  {
    std::vector<Helper*> helpers;
    for (int t = 0; t < 4; ++t) {
      helpers.push_back(new Helper([&] {
        for (int i = 0; i < 2000; ++i) {
          CKorLock lock(mutex);
          const long seen = counter;
          if (i % 100 == 0) SwitchToThread();
          counter = seen + 1;
        }
      }));
    }
    for (Helper* h : helpers) delete h;
  }
  KCHECK_EQ(counter, 8000);
}

// ---- threads

void BackendThreadRunsAndJoinWaitsForIt() {
  struct Arg {
    std::atomic<bool> done{false};
  } arg;
  uint32_t id = 0;
  pf::ThreadHandle* thread = pf::CreateThread(
      [](void* raw) {
        Sleep(50);
        static_cast<Arg*>(raw)->done.store(true);
      },
      &arg, 0, &id);
  KCHECK(thread != nullptr);
  KCHECK(id != 0);
  if (thread == nullptr) return;
  pf::JoinThread(thread);
  KCHECK(arg.done.load());
}

class Worker : public CKorThread {
 public:
  ~Worker() override { Stop(); }
  std::atomic<int> started_on{0};
  std::atomic<int> runs{0};
  std::atomic<bool> stop_pending_at_start{false};
  bool finish_at_once = false;

 protected:
  void OnThreadStart() override {
    Sleep(20);  // Start must wait for this
    started_on.store(static_cast<int>(GetCurrentThreadId()));
  }
  void Run() override {
    ++runs;
    if (finish_at_once) return;
    while (!SleepUnlessStopped(10)) {
    }
  }
};

void KorThreadStartStopAndRestart() {
  Worker w;
  w.Stop();  // never started: nothing happens
  KCHECK_EQ(w.GetState(), CKorThread::kNotStarted);
  KCHECK(w.Start());
  KCHECK(w.started_on.load() != 0);
  KCHECK(w.started_on.load() != static_cast<int>(GetCurrentThreadId()));
  KCHECK(!w.Start());  // running: refused
  const int64_t start = NowUs();
  w.Stop();
  KCHECK(NowUs() - start < 2000000);
  KCHECK_EQ(w.GetState(), CKorThread::kEnded);
  w.Stop();
  KCHECK(w.Start());  // a new run, not ended at once by a left-over stop request
  for (int i = 0; i < 2500 && w.GetState() == CKorThread::kStarting; ++i) Sleep(2);
  Sleep(30);  // a run ended by a left-over stop request would be over by now
  KCHECK_EQ(w.GetState(), CKorThread::kRunning);
  KCHECK_EQ(w.runs.load(), 2);
  w.Stop();
}

void KorThreadEndedRunStopsAtOnce() {
  Worker w;
  w.finish_at_once = true;
  KCHECK(w.Start());
  for (int i = 0; i < 500 && w.GetState() != CKorThread::kEnded; ++i) Sleep(2);
  KCHECK_EQ(w.GetState(), CKorThread::kEnded);
  const int64_t start = NowUs();
  w.Stop();
  KCHECK(NowUs() - start < 1000000);
  KCHECK_EQ(w.GetState(), CKorThread::kEnded);
}

void DestroyingARunningThreadStopsIt() {
  auto* w = new Worker;
  KCHECK(w->Start());
  delete w;  // would crash or hang if the thread outlived the object
  KCHECK(true);
}

// ---- clocks and time values

void ClocksAgreeWithTheSystem() {
  const int64_t mono1 = pf::MonotonicMicros();
  Sleep(100);
  const int64_t mono2 = pf::MonotonicMicros();
  KCHECK(mono2 - mono1 >= 90000);
  KCHECK(mono2 - mono1 < 2000000);
  const int64_t sys = pf::SystemMicrosSince1970();
  const int64_t c_time = static_cast<int64_t>(std::time(nullptr)) * 1000000;
  KCHECK(sys - c_time > -2000000 && sys - c_time < 2000000);
  const CKorUTCTime utc;
  const int64_t utc_seconds = utc.GetTicks() / CKorUTCTime::kTicksPerSecond - CKorUTCTime::kSecondsTo1970;
  KCHECK(utc_seconds - sys / 1000000 >= 0 && utc_seconds - sys / 1000000 <= 1);
}

SYSTEMTIME Rule(WORD month, WORD weekday, WORD occurrence, WORD hour) {
  SYSTEMTIME t{};
  t.wMonth = month;
  t.wDayOfWeek = weekday;
  t.wDay = occurrence;
  t.wHour = hour;
  return t;
}

void ZoneInformationToOffset() {
  struct Zone {
    const char* name;
    LONG bias, standard_bias, daylight_bias;
    SYSTEMTIME standard_date, daylight_date;
  };
  const SYSTEMTIME none{};
  const Zone berlin{"Berlin", -60, 0, -60, Rule(10, 0, 5, 3), Rule(3, 0, 5, 2)};
  const Zone sydney{"Sydney", -600, 0, -60, Rule(4, 0, 1, 3), Rule(10, 0, 1, 2)};
  const Zone new_york{"New York", 300, 0, -60, Rule(11, 0, 1, 2), Rule(3, 0, 2, 2)};
  const Zone santiago{"Santiago", 240, 0, -60, Rule(4, 0, 1, 0), Rule(9, 0, 1, 0)};
  const Zone kolkata{"Kolkata", -330, 0, 0, none, none};
  const Zone st_johns{"St. John's", 210, 0, -60, Rule(11, 0, 1, 2), Rule(3, 0, 2, 2)};
  // Standard bias folded into the bias: standard UTC-(60+60), daylight UTC-(60+(-120)).
  const Zone odd{"standard bias", 60, 60, -120, Rule(10, 0, 5, 3), Rule(3, 0, 5, 2)};
  struct Row {
    const Zone* zone;
    WORD year, month, day, hour;
    int expected;
  } rows[] = {
      {&berlin, 2026, 1, 15, 12, 1},    {&berlin, 2026, 7, 15, 12, 2},   {&berlin, 2026, 3, 29, 1, 1},
      {&berlin, 2026, 3, 29, 3, 2},     {&berlin, 2026, 10, 25, 1, 2},  {&berlin, 2026, 10, 25, 4, 1},
      {&sydney, 2026, 1, 15, 12, 11},   {&sydney, 2026, 7, 15, 12, 10},  {&sydney, 2026, 12, 11, 12, 11},
      {&sydney, 2026, 4, 5, 4, 10},     {&sydney, 2026, 10, 4, 3, 11},  {&new_york, 2026, 1, 15, 12, -5},
      {&new_york, 2026, 7, 15, 12, -4}, {&santiago, 2026, 1, 15, 12, -3}, {&santiago, 2026, 6, 15, 12, -4},
      {&kolkata, 2026, 1, 15, 12, 5},   {&kolkata, 2026, 7, 15, 12, 5},  {&st_johns, 2026, 1, 15, 12, -3},
      {&st_johns, 2026, 7, 15, 12, -2}, {&odd, 2026, 1, 15, 12, -2},     {&odd, 2026, 7, 15, 12, 1},
  };
  for (const Row& row : rows) {
    TIME_ZONE_INFORMATION info{};
    info.Bias = row.zone->bias;
    info.StandardBias = row.zone->standard_bias;
    info.DaylightBias = row.zone->daylight_bias;
    info.StandardDate = row.zone->standard_date;
    info.DaylightDate = row.zone->daylight_date;
    SYSTEMTIME local{};
    local.wYear = row.year;
    local.wMonth = row.month;
    local.wDay = row.day;
    local.wHour = row.hour;
    const int got = zone::OffsetHours(pf::win32::RulesFromZoneInformation(info), pf::win32::LocalClockOf(local));
    if (!KCHECK_EQ(got, row.expected))
      std::printf("  zone %s at %04u-%02u-%02u %02u:00\n", row.zone->name, row.year, row.month, row.day, row.hour);
  }
}

// ---- sockets

struct Listener {
  SOCKET s = INVALID_SOCKET;
  uint16_t port = 0;
  explicit Listener(int family) {
    s = socket(family, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_storage addr{};
    int len;
    if (family == AF_INET6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
      a->sin6_family = AF_INET6;
      a->sin6_addr = in6addr_loopback;
      len = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&addr);
      a->sin_family = AF_INET;
      a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof *a;
    }
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(s, 4) != 0) {
      if (s != INVALID_SOCKET) closesocket(s);
      s = INVALID_SOCKET;
      return;
    }
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                    : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  }
  ~Listener() {
    if (s != INVALID_SOCKET) closesocket(s);
  }
  SOCKET Accept() { return accept(s, nullptr, nullptr); }
};

// Connects through the shim as the transport does: non-blocking connect, wait, blocking mode.
pf::SocketHandle ConnectTo(const char* host, uint16_t port, int timeout_ms, bool* failed) {
  std::vector<pf::ResolvedAddress> addresses;
  const std::string port_text = std::to_string(port);
  *failed = false;
  if (pf::Resolve(host, port_text.c_str(), &addresses) != 0 || addresses.empty()) return pf::kInvalidSocket;
  const pf::SocketHandle s = pf::OpenSocket(addresses[0]);
  if (s == pf::kInvalidSocket) return s;
  KCHECK(pf::SetNonBlocking(s, true));
  const pf::ConnectStart start = pf::StartConnect(s, addresses[0].address);
  KCHECK(start != pf::ConnectStart::kFailed);
  if (start == pf::ConnectStart::kInProgress) {
    pf::PollEntry entry;
    entry.socket = s;
    entry.want_write = true;
    const int rc = pf::Poll(&entry, 1, timeout_ms);
    if (rc != 1 || entry.failed || !entry.ready || pf::PendingError(s) != 0) {
      *failed = rc == 1 && entry.failed;
      pf::Close(s);
      return pf::kInvalidSocket;
    }
  }
  KCHECK(pf::SetNonBlocking(s, false));
  KCHECK(pf::SetStreamOptions(s));
  return s;
}

struct Sockets {
  Sockets() { KCHECK(pf::SocketsStartup()); }
  ~Sockets() { pf::SocketsCleanup(); }
};

void ResolveNamesAndNumbers() {
  Sockets on;
  std::vector<pf::ResolvedAddress> v4;
  KCHECK_EQ(pf::Resolve("127.0.0.1", "5000", &v4), 0);
  KCHECK(!v4.empty() && v4[0].family == AF_INET && v4[0].socket_type == SOCK_STREAM);
  std::vector<pf::ResolvedAddress> v6;
  KCHECK_EQ(pf::Resolve("::1", "5100", &v6), 0);
  KCHECK(!v6.empty() && v6[0].family == AF_INET6);
  std::string text;
  if (!v6.empty()) {
    KCHECK(pf::NumericHost(v6[0].address, &text));
    KCHECK_STR(text.c_str(), "::1");
  }
  std::vector<pf::ResolvedAddress> none;
  const int rc = pf::Resolve("no-such-host.invalid", "5000", &none);
  KCHECK(rc != 0);
  KCHECK_EQ(WSAGetLastError(), rc);  // the resolver's error is the thread's last socket error
  KCHECK(none.empty());
  pf::SocketAddress other;
  other.bytes[0] = 1;  // AF_UNIX: no numeric text
  other.length = 16;
  KCHECK(!pf::NumericHost(other, &text));
}

void ConnectSendReceiveAndPeerClose() {
  Sockets on;
  Listener listener(AF_INET);
  KCHECK(listener.s != INVALID_SOCKET);
  bool failed = false;
  const pf::SocketHandle s = ConnectTo("127.0.0.1", listener.port, 5000, &failed);
  KCHECK(s != pf::kInvalidSocket);
  if (s == pf::kInvalidSocket) return;
  const SOCKET server = listener.Accept();
  KCHECK(server != INVALID_SOCKET);
  pf::SocketAddress peer;
  KCHECK(pf::PeerAddress(s, &peer));
  std::string text;
  KCHECK(pf::NumericHost(peer, &text));
  KCHECK_STR(text.c_str(), "127.0.0.1");

  const uint8_t out[] = {5, 0, 1, 1, 7, 0, 6};
  KCHECK_EQ(pf::Send(s, out, sizeof out), sizeof out);
  char got[16] = {};
  KCHECK_EQ(recv(server, got, sizeof got, 0), sizeof out);
  KCHECK(std::memcmp(got, out, sizeof out) == 0);

  // Nothing to read: the wait lasts its whole time-out.
  pf::PollEntry entry;
  entry.socket = s;
  entry.want_read = true;
  int64_t start = NowUs();
  KCHECK_EQ(pf::Poll(&entry, 1, 120), 0);
  KCHECK(NowUs() - start >= 120000);

  send(server, "ab", 2, 0);
  KCHECK_EQ(pf::Poll(&entry, 1, 5000), 1);
  KCHECK(entry.ready && !entry.failed);
  uint8_t in[8];
  KCHECK_EQ(pf::Recv(s, in, sizeof in), 2);

  closesocket(server);  // the peer goes: readable, then end of stream
  start = NowUs();
  KCHECK_EQ(pf::Poll(&entry, 1, 5000), 1);
  KCHECK(entry.ready);
  KCHECK(NowUs() - start < 4000000);
  KCHECK(pf::Recv(s, in, sizeof in) <= 0);
  pf::Close(s);
}

void Ipv6Loopback() {
  Sockets on;
  Listener listener(AF_INET6);
  if (listener.s == INVALID_SOCKET) {
    std::printf("  no IPv6 loopback here; case skipped\n");
    return;
  }
  bool failed = false;
  const pf::SocketHandle s = ConnectTo("::1", listener.port, 5000, &failed);
  KCHECK(s != pf::kInvalidSocket);
  if (s == pf::kInvalidSocket) return;
  pf::SocketAddress peer;
  std::string text;
  KCHECK(pf::PeerAddress(s, &peer));
  KCHECK(pf::NumericHost(peer, &text));
  KCHECK_STR(text.c_str(), "::1");
  pf::Close(s);
}

void RefusedConnectIsReportedAsFailure() {
  Sockets on;
  uint16_t port;
  {
    Listener gone(AF_INET);  // a port that was free a moment ago and has no listener now
    port = gone.port;
  }
  bool failed = false;
  const int64_t start = NowUs();
  const pf::SocketHandle s = ConnectTo("127.0.0.1", port, 5000, &failed);
  KCHECK(s == pf::kInvalidSocket);
  KCHECK(failed);  // reported by the wait (error set), not as a time-out
  KCHECK(NowUs() - start < 4500000);
}

void ShutdownWakesAThreadWaitingInPoll() {
  Sockets on;
  Listener listener(AF_INET);
  bool failed = false;
  const pf::SocketHandle s = ConnectTo("127.0.0.1", listener.port, 5000, &failed);
  KCHECK(s != pf::kInvalidSocket);
  if (s == pf::kInvalidSocket) return;
  const SOCKET server = listener.Accept();
  CKorEvent waiting;
  int rc = -2;
  bool ready = false;
  int64_t waited = -1;
  {
    Helper reader([&] {
      pf::PollEntry entry;
      entry.socket = s;
      entry.want_read = true;
      waiting.Set();
      const int64_t start = NowUs();
      rc = pf::Poll(&entry, 1, 10000);
      waited = NowUs() - start;
      ready = entry.ready;
    });
    KCHECK(waiting.Wait(10000));
    Sleep(100);  // let the reader settle into its wait; the test holds either way
    pf::Shutdown(s);
  }
  KCHECK_EQ(rc, 1);
  KCHECK(ready);
  KCHECK(waited >= 0 && waited < 3000000);
  uint8_t in[4];
  KCHECK(pf::Recv(s, in, sizeof in) <= 0);
  pf::Close(s);
  closesocket(server);
}

void PollRefusesMoreThan64Sockets() {
  Sockets on;
  std::vector<pf::PollEntry> entries(65);
  KCHECK_EQ(pf::Poll(entries.data(), entries.size(), 0), -1);
}

void StartupIsCountedPerEndpoint() {
  // Two endpoints start sockets; the first one's cleanup must leave the second working.
  KCHECK(pf::SocketsStartup());
  KCHECK(pf::SocketsStartup());
  pf::SocketsCleanup();
  std::vector<pf::ResolvedAddress> v4;
  KCHECK_EQ(pf::Resolve("127.0.0.1", "5000", &v4), 0);
  pf::ResolvedAddress a = v4.empty() ? pf::ResolvedAddress{} : v4[0];
  const pf::SocketHandle s = pf::OpenSocket(a);
  KCHECK(s != pf::kInvalidSocket);
  if (s != pf::kInvalidSocket) pf::Close(s);
  pf::SocketsCleanup();
}

const korvane_test::Case kCases[] = {
    {"event_auto_reset", EventIsAutoResetAndKeepsAPendingSet},
    {"event_timed_wait_never_early", EventTimedWaitIsNeverEarly},
    {"event_set_from_other_thread", EventSetFromAnotherThreadWakesTheWaiter},
    {"mutex_recursive_exclusive", MutexIsRecursiveAndExclusive},
    {"mutex_serializes", MutexSerializesThreads},
    {"thread_backend_join", BackendThreadRunsAndJoinWaitsForIt},
    {"thread_start_stop_restart", KorThreadStartStopAndRestart},
    {"thread_ended_run_stop", KorThreadEndedRunStopsAtOnce},
    {"thread_destroy_running", DestroyingARunningThreadStopsIt},
    {"clock_agrees_with_system", ClocksAgreeWithTheSystem},
    {"zone_information_to_offset", ZoneInformationToOffset},
    {"socket_resolve", ResolveNamesAndNumbers},
    {"socket_connect_send_receive", ConnectSendReceiveAndPeerClose},
    {"socket_ipv6_loopback", Ipv6Loopback},
    {"socket_refused_connect", RefusedConnectIsReportedAsFailure},
    {"socket_shutdown_wakes_poll", ShutdownWakesAThreadWaitingInPoll},
    {"socket_poll_limit", PollRefusesMoreThan64Sockets},
    {"socket_startup_counted", StartupIsCountedPerEndpoint},
};

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc == 3 && std::string(argv[1]) == "--zone-offset") {
    const int expected = std::atoi(argv[2]);
    const int got = pf::CurrentZoneOffsetHours();
    CKorLocalTime local;
    std::printf("zone offset %d h (expected %d), local time offset %d\n", got, expected, local.ZoneOffset());
    return got == expected && local.ZoneOffset() == expected ? 0 : 1;
  }
  return korvane_test::RunCases(kCases, sizeof kCases / sizeof kCases[0], argc > 1 ? argv[1] : nullptr);
}
