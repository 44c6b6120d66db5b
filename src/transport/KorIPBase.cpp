#include "transport/KorIPBase.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace korvane {

namespace {

// The most connects one OpenStream races at once.
constexpr std::size_t kMaxCandidates = 64;

struct Candidate {
  platform::SocketHandle socket;
};

void CloseAll(std::vector<Candidate>& candidates, platform::SocketHandle keep) {
  for (const Candidate& c : candidates) {
    if (c.socket != keep) platform::Close(c.socket);
  }
  candidates.clear();
}

}  // namespace

CKorIPBase::CKorIPBase() {
  sockets_started_ = platform::SocketsStartup();
  if (!sockets_started_) state_.store(kStateUnavailable);
}

CKorIPBase::~CKorIPBase() {
  const platform::SocketHandle s = socket_.exchange(platform::kInvalidSocket);
  if (s != platform::kInvalidSocket) platform::Close(s);
  ReleaseRetired();
  platform::SocketsCleanup();
}

KorTimeVal CKorIPBase::ClockNow() {
  const int64_t us = platform::MonotonicMicros();
  return KorTimeVal{static_cast<int32_t>(us / 1000000), static_cast<int32_t>(us % 1000000)};
}

bool CKorIPBase::PeerAddressText(const platform::SocketAddress& address, std::string* text) {
  return platform::NumericHost(address, text);
}

void CKorIPBase::ReleaseRetired() {
  if (retired_ != platform::kInvalidSocket) {
    platform::Close(retired_);
    retired_ = platform::kInvalidSocket;
  }
}

void CKorIPBase::CloseSocket() {
  // Shut down before taking the lock: a sender waiting for the socket to take its bytes
  // wakes up and lets go of the lock at once. The descriptor stays valid meanwhile.
  const platform::SocketHandle current = socket_.load();
  if (current != platform::kInvalidSocket) platform::Shutdown(current);
  CKorLock lock(send_mutex_);
  const platform::SocketHandle s = socket_.exchange(platform::kInvalidSocket);
  if (s == platform::kInvalidSocket) return;
  platform::Shutdown(s);
  ReleaseRetired();  // an earlier run's descriptor, whose threads have ended by now
  retired_ = s;
  if (state_.load() != kStateUnavailable) state_.store(kStateClosed);
}

int CKorIPBase::OpenStream(const char* host, uint16_t port, uint32_t timeout_ms) {
  const std::string port_text = std::to_string(port);
  std::vector<platform::ResolvedAddress> addresses;
  if (host == nullptr || platform::Resolve(host, port_text.c_str(), &addresses) != 0) return kTransportNotConnected;

  std::vector<Candidate> candidates;
  platform::SocketHandle chosen = platform::kInvalidSocket;
  bool any_tried = false;
  for (const platform::ResolvedAddress& address : addresses) {
    if (candidates.size() == kMaxCandidates) break;
    const platform::SocketHandle s = platform::OpenSocket(address);
    if (s == platform::kInvalidSocket) continue;
    any_tried = true;
    if (!platform::SetNonBlocking(s, true)) {
      platform::Close(s);
      continue;
    }
    const platform::ConnectStart start = platform::StartConnect(s, address.address);
    if (start == platform::ConnectStart::kFailed) {
      // A refused or unreachable address is a failed candidate, not a reason to wait.
      platform::Close(s);
      continue;
    }
    candidates.push_back(Candidate{s});
  }
  if (candidates.empty()) return any_tried ? kTransportNotConnected : kTransportSocketError;

  const int64_t deadline_us = platform::MonotonicMicros() + static_cast<int64_t>(timeout_ms) * 1000;
  while (chosen == platform::kInvalidSocket && !candidates.empty()) {
    std::vector<platform::PollEntry> entries(candidates.size());
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      entries[i].socket = candidates[i].socket;
      entries[i].want_write = true;
    }
    const int64_t left_us = deadline_us - platform::MonotonicMicros();
    // Time-outs are unsigned 32-bit milliseconds; one wait covers at most INT_MAX of them.
    const int64_t left_ms64 = left_us <= 0 ? 0 : (left_us + 999) / 1000;
    const int left_ms = static_cast<int>(std::min<int64_t>(left_ms64, std::numeric_limits<int>::max()));
    const int rc = platform::Poll(entries.data(), entries.size(), left_ms);
    if (rc < 0) {
      CloseAll(candidates, platform::kInvalidSocket);
      return kTransportSocketError;
    }
    if (rc == 0) break;  // time-out
    // Among the completed connects the lowest socket value that works is chosen.
    std::vector<std::size_t> order(candidates.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return candidates[a].socket < candidates[b].socket; });
    std::vector<bool> drop(candidates.size(), false);
    for (std::size_t i : order) {
      if (!entries[i].ready && !entries[i].failed) continue;
      const platform::SocketHandle s = candidates[i].socket;
      // A refused connect also reports "writable": only a clean pending error counts.
      if (entries[i].failed || platform::PendingError(s) != 0) {
        drop[i] = true;
        continue;
      }
      if (!platform::SetNonBlocking(s, false) || !platform::SetStreamOptions(s)) {
        drop[i] = true;
        continue;
      }
      chosen = s;
      break;
    }
    std::vector<Candidate> remaining;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      if (drop[i]) {
        platform::Close(candidates[i].socket);
      } else {
        remaining.push_back(candidates[i]);
      }
    }
    candidates.swap(remaining);
    if (chosen == platform::kInvalidSocket && platform::MonotonicMicros() >= deadline_us) break;
  }
  CloseAll(candidates, chosen);
  if (chosen == platform::kInvalidSocket) return kTransportNotConnected;

  {
    CKorLock lock(send_mutex_);
    socket_.store(chosen);
    if (!platform::PeerAddress(chosen, &peer_address_)) {
      socket_.store(platform::kInvalidSocket);
      platform::Close(chosen);
      return kTransportSocketError;
    }
  }
  return kTransportOk;
}

}  // namespace korvane
