#include "raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korvane::bench {

RawClient::~RawClient() { Close(); }

bool RawClient::Connect(int port, std::string* error) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  const int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    *error = std::string("connect: ") + std::strerror(errno);
    Close();
    return false;
  }
  Bytes hello = MakeTelegram(kCmdConnect, 1, nullptr, 0);
  if (send(fd_, hello.data(), hello.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hello.size()) ||
      !ReceiveExactly(kFrameOverhead + 1) || ReadLE16(buffer_ + 2) != (kCmdConnect | kReplyBit) || buffer_[6] != 0) {
    *error = "connect handshake failed";
    Close();
    return false;
  }
  return true;
}

void RawClient::Close() {
  if (fd_ < 0) return;
  const Bytes bye = MakeTelegram(kCmdDisconnect, 0, nullptr, 0);
  if (send(fd_, bye.data(), bye.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bye.size())) {
    ReceiveExactly(kFrameOverhead + 1);
  }
  close(fd_);
  fd_ = -1;
}

bool RawClient::RoundTrip(Bytes* request, std::size_t reply_size) {
  const uint16_t id = next_id_++;
  SetTelegramId(request, id);
  std::size_t done = 0;
  while (done < request->size()) {
    const ssize_t n = send(fd_, request->data() + done, request->size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return ReceiveExactly(reply_size) && ReadLE16(buffer_ + 4) == id;
}

bool RawClient::ReceiveExactly(std::size_t size) {
  if (size > sizeof buffer_) return false;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = recv(fd_, buffer_ + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

Bytes RawReadRequest(uint16_t length) {
  uint8_t payload[4] = {0xA0, 0x00, 0, 0};
  PutLE16(payload + 2, length);
  return MakeTelegram(kCmdRead, 0, payload, sizeof payload);
}

std::size_t RawReadReplySize(uint16_t length) { return kFrameOverhead + 1 + length; }

Bytes RawWriteRequest(uint16_t length) {
  Bytes payload(2 + std::size_t{length}, 0x5A);
  payload[0] = 0xA0;
  payload[1] = 0x00;
  return MakeTelegram(kCmdWrite, 0, payload.data(), payload.size());
}

std::size_t RawWriteReplySize() { return kFrameOverhead + 3; }

}  // namespace korvane::bench
