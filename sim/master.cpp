#include "master.h"

#include <algorithm>

namespace korvane::sim {
namespace {

// Between the pages of one write the master polls on its own, bounded so that a device that
// never answers again ends the command.
constexpr uint16_t kPagePollLimitMs = 1000;

uint8_t Status(Ack ack) {
  switch (ack) {
    case Ack::kAck: return kStatusOk;
    case Ack::kNack: return kStatusNack;
    case Ack::kMisuse: break;
  }
  return kStatusFailed;
}

// Start and address byte; on no acknowledge the bus is stopped again.
bool Address(Bus& bus, uint8_t address_byte, Millis now) {
  bus.Start();
  if (bus.Send(address_byte, now) == Ack::kAck) return true;
  bus.Stop(now);
  return false;
}

// Acknowledge polling: address the device once a millisecond until it answers or limit_ms
// have passed. Leaves the bus in the write transfer when it answers.
bool PollAddress(Bus& bus, uint8_t address_byte, uint16_t limit_ms, Millis* now) {
  for (uint32_t waited = 0;; ++waited) {
    if (Address(bus, address_byte, *now)) return true;
    if (waited >= limit_ms) return false;
    *now += 1;
  }
}

bool SendAll(Bus& bus, const uint8_t* bytes, std::size_t count, Millis now, std::size_t* sent) {
  *sent = 0;
  for (; *sent < count; ++*sent) {
    if (bus.Send(bytes[*sent], now) != Ack::kAck) return false;
  }
  return true;
}

void AppendAddressBytes(const EepromTarget& target, uint32_t offset, std::vector<uint8_t>* out) {
  if (target.address_bytes == 2) out->push_back(static_cast<uint8_t>(offset >> 8));
  out->push_back(static_cast<uint8_t>(offset));
}

}  // namespace

uint8_t MasterRead(Bus& bus, uint16_t address8, std::size_t count, Millis* now, std::vector<uint8_t>* data) {
  if (address8 > 0xFF) return kStatusFailed;  // ten-bit addresses are not served
  if (!Address(bus, static_cast<uint8_t>(address8 | 1u), *now)) return kStatusNack;
  for (std::size_t i = 0; i < count; ++i) {
    uint8_t byte = 0;
    bus.Get(&byte);
    data->push_back(byte);
  }
  bus.Stop(*now);
  return kStatusOk;
}

uint8_t MasterWrite(Bus& bus, uint16_t address8, const uint8_t* data, std::size_t count, Millis* now,
                    uint16_t* acknowledged) {
  *acknowledged = 0;
  if (address8 > 0xFF) return kStatusFailed;
  if (!Address(bus, static_cast<uint8_t>(address8 & 0xFEu), *now)) return kStatusNack;
  std::size_t sent = 0;
  const bool all = SendAll(bus, data, count, *now, &sent);
  *acknowledged = static_cast<uint16_t>(sent);
  bus.Stop(*now);
  return all ? kStatusOk : kStatusNack;
}

uint8_t EepromRead(Bus& bus, const EepromTarget& target, std::size_t count, Millis* now,
                   std::vector<uint8_t>* data) {
  if (target.address8 > 0xFF || (target.address_bytes != 1 && target.address_bytes != 2)) return kStatusFailed;
  const uint8_t address_byte = static_cast<uint8_t>(target.address8 & 0xFEu);
  if (!Address(bus, address_byte, *now)) return kStatusNack;
  std::vector<uint8_t> address;
  AppendAddressBytes(target, target.offset, &address);
  std::size_t sent = 0;
  if (!SendAll(bus, address.data(), address.size(), *now, &sent)) {
    bus.Stop(*now);
    return kStatusNack;
  }
  bus.Start();  // repeated start: a random read
  if (bus.Send(static_cast<uint8_t>(address_byte | 1u), *now) != Ack::kAck) {
    bus.Stop(*now);
    return kStatusNack;
  }
  for (std::size_t i = 0; i < count; ++i) {
    uint8_t byte = 0;
    bus.Get(&byte);
    data->push_back(byte);
  }
  bus.Stop(*now);
  return kStatusOk;
}

uint8_t EepromWrite(Bus& bus, const EepromTarget& target, const uint8_t* data, std::size_t count,
                    std::optional<uint16_t> poll_limit_ms, Millis* now) {
  if (target.address8 > 0xFF || (target.address_bytes != 1 && target.address_bytes != 2)) return kStatusFailed;
  const uint8_t address_byte = static_cast<uint8_t>(target.address8 & 0xFEu);
  const Eeprom* eeprom = bus.FindEeprom(static_cast<uint8_t>(address_byte >> 1));

  std::size_t done = 0;
  do {
    const uint32_t offset = target.offset + static_cast<uint32_t>(done);
    std::size_t chunk = count - done;
    // A device that is no EEPROM gets the data in one transfer.
    if (eeprom != nullptr) chunk = std::min(chunk, eeprom->Geometry().page - offset % eeprom->Geometry().page);
    const uint16_t limit = done == 0 ? poll_limit_ms.value_or(0) : kPagePollLimitMs;
    if (!PollAddress(bus, address_byte, limit, now)) {
      if (done == 0) return poll_limit_ms ? kStatusPollTimeout : kStatusNack;
      return kStatusBusTimeout;
    }
    std::vector<uint8_t> bytes;
    AppendAddressBytes(target, offset, &bytes);
    bytes.insert(bytes.end(), data + done, data + done + chunk);
    std::size_t sent = 0;
    const bool all = SendAll(bus, bytes.data(), bytes.size(), *now, &sent);
    bus.Stop(*now);
    if (!all) return kStatusNack;
    done += chunk;
  } while (done < count);

  // The polling write reports the end of the last write cycle.
  if (poll_limit_ms) {
    if (!PollAddress(bus, address_byte, *poll_limit_ms, now)) return kStatusPollTimeout;
    bus.Stop(*now);
  }
  return kStatusOk;
}

uint8_t RawStart(Bus& bus) {
  bus.Start();
  return kStatusOk;
}

uint8_t RawSend(Bus& bus, uint8_t byte, uint8_t flags, Millis now) {
  if ((flags & 1u) != 0) bus.Start();
  return Status(bus.Send(byte, now));
}

uint8_t RawGet(Bus& bus, uint8_t /*flags*/, uint8_t* byte) {
  // The acknowledge bit only tells the slave whether more bytes follow; the model's devices
  // deliver the same either way.
  return Status(bus.Get(byte));
}

uint8_t RawStop(Bus& bus, Millis now) {
  bus.Stop(now);
  return kStatusOk;
}

}  // namespace korvane::sim
