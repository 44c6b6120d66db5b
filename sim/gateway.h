#ifndef KORVANE_SIM_GATEWAY_H
#define KORVANE_SIM_GATEWAY_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bus.h"

namespace korvane::sim {

// Command codes of device kind 1 (the reply carries bit 15 as well).
namespace cmd {
constexpr uint16_t kConnect = 0x0101;
constexpr uint16_t kDisconnect = 0x0102;
constexpr uint16_t kReset = 0x0104;
constexpr uint16_t kBusConfig = 0x0107;
constexpr uint16_t kDeviceInfo = 0x0109;
constexpr uint16_t kDeviceStatus = 0x010A;
constexpr uint16_t kKeepAlive = 0x010D;
constexpr uint16_t kRead = 0x0110;
constexpr uint16_t kWrite = 0x0111;
constexpr uint16_t kEepromRead = 0x0112;
constexpr uint16_t kEepromWrite = 0x0113;
constexpr uint16_t kSequence = 0x0114;
constexpr uint16_t kRawStart = 0x0115;
constexpr uint16_t kRawSend = 0x0116;
constexpr uint16_t kRawGet = 0x0117;
constexpr uint16_t kRawStop = 0x0118;
constexpr uint16_t kEepromWritePoll = 0x0119;
constexpr uint16_t kReadDigital = 0x0140;
constexpr uint16_t kWriteDigital = 0x0141;
constexpr uint16_t kReplyBit = 0x8000;
}  // namespace cmd

struct GatewayOptions {
  int max_connections = 4;
  bool refuse = false;           // every connect request is refused
  uint32_t keep_alive_ms = 0;    // interval the gateway asks the client to supervise; 0 off
  uint32_t delay_ms = 0;         // added before every confirmation
  uint32_t drop_every = 0;       // every Nth device request of a connection gets no confirmation
  uint32_t corrupt_every = 0;    // every Nth confirmation of a connection has a wrong checksum
  uint32_t close_after = 0;      // a connection is closed after answering its Nth telegram
  Millis write_cycle_ms = 5;
  uint32_t serial_number = 0x20260001;
};

constexpr std::size_t kDeviceInfoSize = 20;

// What the whole gateway shares: the bus, the connection slots and the counters behind the
// status text.
class Gateway {
 public:
  Gateway(const GatewayOptions& options, Millis now) : options_(options), started_(now) {}

  Bus& GetBus() { return bus_; }
  const Bus& GetBus() const { return bus_; }
  const GatewayOptions& Options() const { return options_; }
  int ConnectionsInUse() const { return in_use_; }

  // The device information record:
  //   0-3 serial number (32-bit LE)   4 firmware major   5 firmware minor
  //   6 digital lines                 7 devices on the bus
  //   8-11 bit rate in bits/s (32-bit LE)
  //   12 maximum connections          13 connections in use
  //   14-15 EEPROM write cycle in ms (16-bit LE)
  //   16-17 largest request payload (16-bit LE)
  //   18 device kind (1)              19 layout version of this record (1)
  std::array<uint8_t, kDeviceInfoSize> InfoRecord() const;
  std::string StatusText(Millis now) const;

 private:
  friend class Session;
  GatewayOptions options_;
  Bus bus_;
  Millis started_;
  int in_use_ = 0;
  uint32_t bit_rate_ = 100000;
  uint64_t received_ = 0;
  uint64_t sent_ = 0;
};

// What a connection sends in answer to a telegram or a timer.
struct Outgoing {
  std::vector<std::vector<uint8_t>> telegrams;  // in this order
  Millis after_ms = 0;  // bus time plus injected delay before they go out
  bool close = false;   // close the connection once they are out
  std::string note;     // why something unusual happened, for the log
};

// The gateway side of one connection: connect and disconnect handshakes, keep-alive
// requests, every device command, and the fault injection. Pure: telegrams and times in,
// telegrams out.
class Session {
 public:
  explicit Session(Gateway& gateway) : gateway_(gateway) {}
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  Outgoing OnTelegram(const uint8_t* frame, std::size_t length, Millis now);
  // The keep-alive timer: when it is due next (none while supervision is off) and its work.
  std::optional<Millis> NextTimer() const;
  Outgoing OnTimer(Millis now);
  // The gateway's own disconnect request, sent when it shuts down; the client's confirmation
  // then closes the connection. A connection without a handshake is closed at once.
  Outgoing Disconnect();
  bool Accepted() const { return accepted_; }

 private:
  struct Reply {
    std::vector<uint8_t> payload;
    Millis bus_ms = 0;
  };
  Reply DeviceCommand(uint16_t command, const uint8_t* p, std::size_t n, Millis now);
  std::vector<uint8_t> Telegram(uint16_t command, uint16_t id, const std::vector<uint8_t>& payload);
  std::vector<uint8_t> KeepAliveRequest();

  Gateway& gateway_;
  bool accepted_ = false;
  uint64_t telegrams_ = 0;
  uint64_t requests_ = 0;
  uint64_t confirmations_ = 0;
  // Keep-alive supervision.
  uint16_t keep_alive_id_ = 0;
  Millis next_keep_alive_ = 0;
  Millis last_confirmation_ = 0;
};

}  // namespace korvane::sim

#endif
