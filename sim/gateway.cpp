#include "gateway.h"

#include <algorithm>
#include <cstdio>

#include "master.h"
#include "protocol/telegram_codec.h"
#include "sequence.h"

namespace korvane::sim {
namespace {

using codec::AppendLE16;
using codec::AppendLE32;
using codec::ReadLE16;
using codec::ReadLE32;

constexpr uint8_t kFirmwareMajor = 1;
constexpr uint8_t kFirmwareMinor = 0;
constexpr uint16_t kDeviceKind = 1;
// The largest payload that a reply can carry: status byte plus data within the 16-bit length.
constexpr std::size_t kMaxReplyData = 65530 - 3;
constexpr uint32_t kMinBitRate = 1000;
constexpr uint32_t kMaxBitRate = 3400000;

uint32_t ReadBE32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

std::vector<uint8_t> StatusOnly(uint8_t status) { return {status}; }

}  // namespace

std::array<uint8_t, kDeviceInfoSize> Gateway::InfoRecord() const {
  std::vector<uint8_t> r;
  AppendLE32(r, options_.serial_number);
  r.push_back(kFirmwareMajor);
  r.push_back(kFirmwareMinor);
  r.push_back(static_cast<uint8_t>(bus_.LineCount()));
  r.push_back(static_cast<uint8_t>(bus_.Devices().size()));
  AppendLE32(r, bit_rate_);
  r.push_back(static_cast<uint8_t>(options_.max_connections));
  r.push_back(static_cast<uint8_t>(in_use_));
  AppendLE16(r, static_cast<uint32_t>(std::min<Millis>(options_.write_cycle_ms, 0xFFFF)));
  AppendLE16(r, 65528);
  r.push_back(static_cast<uint8_t>(kDeviceKind));
  r.push_back(1);
  std::array<uint8_t, kDeviceInfoSize> record{};
  std::copy(r.begin(), r.end(), record.begin());
  return record;
}

std::string Gateway::StatusText(Millis now) const {
  char text[160];
  std::snprintf(text, sizeof text,
                "korvane-gwsim: uptime %llu s, connections %d of %d, telegrams received %llu, sent %llu",
                static_cast<unsigned long long>((now - started_) / 1000), in_use_, options_.max_connections,
                static_cast<unsigned long long>(received_), static_cast<unsigned long long>(sent_));
  return text;
}

Session::~Session() {
  if (accepted_) --gateway_.in_use_;
}

std::vector<uint8_t> Session::Telegram(uint16_t command, uint16_t id, const std::vector<uint8_t>& payload) {
  ++gateway_.sent_;
  return codec::Build(command, id, payload.data(), payload.size());
}

std::vector<uint8_t> Session::KeepAliveRequest() {
  std::vector<uint8_t> payload;
  AppendLE32(payload, gateway_.options_.keep_alive_ms);
  return Telegram(cmd::kKeepAlive, ++keep_alive_id_, payload);
}

Outgoing Session::OnTelegram(const uint8_t* frame, std::size_t length, Millis now) {
  Outgoing out;
  ++gateway_.received_;
  const GatewayOptions& options = gateway_.options_;
  const bool close_now = options.close_after != 0 && ++telegrams_ >= options.close_after;
  if (close_now) out.close = true;

  codec::View t;
  if (!codec::Decode(frame, length, &t) || codec::Checksum(t.command, t.id, t.payload, t.payload_size) != t.checksum) {
    out.note = "malformed or wrong checksum, dropped";
    return out;
  }

  if ((t.command & cmd::kReplyBit) != 0) {
    if (t.command == (cmd::kKeepAlive | cmd::kReplyBit)) last_confirmation_ = now;
    if (t.command == (cmd::kDisconnect | cmd::kReplyBit)) out.close = true;
    return out;  // confirmations are never answered
  }

  out.after_ms = options.delay_ms;
  switch (t.command) {
    case cmd::kConnect: {
      if (!accepted_ && (options.refuse || gateway_.in_use_ >= options.max_connections)) {
        out.telegrams.push_back(Telegram(t.command | cmd::kReplyBit, t.id, StatusOnly(1)));
        out.close = true;
        out.note = "connection refused";
        return out;
      }
      if (!accepted_) {
        accepted_ = true;
        ++gateway_.in_use_;
        if (options.keep_alive_ms != 0) {
          next_keep_alive_ = now + options.delay_ms;  // after the confirmation
          last_confirmation_ = now;
        }
      }
      out.telegrams.push_back(Telegram(t.command | cmd::kReplyBit, t.id, StatusOnly(0)));
      return out;
    }
    case cmd::kDisconnect:
      out.telegrams.push_back(Telegram(t.command | cmd::kReplyBit, t.id, StatusOnly(0)));
      out.close = true;
      return out;
    default:
      break;
  }

  ++requests_;
  if (options.drop_every != 0 && requests_ % options.drop_every == 0) {
    out.note = "confirmation dropped";
    return out;
  }
  Reply reply;
  if (!accepted_) {
    reply.payload = StatusOnly(kStatusFailed);  // no device commands before the connect handshake
  } else {
    reply = DeviceCommand(t.command, t.payload, t.payload_size, now);
  }
  out.after_ms += reply.bus_ms;
  std::vector<uint8_t> bytes = Telegram(t.command | cmd::kReplyBit, t.id, reply.payload);
  if (options.corrupt_every != 0 && ++confirmations_ % options.corrupt_every == 0) {
    bytes.back() = static_cast<uint8_t>(bytes.back() ^ 0x5A);
    out.note = "checksum corrupted";
  }
  out.telegrams.push_back(std::move(bytes));
  return out;
}

Session::Reply Session::DeviceCommand(uint16_t command, const uint8_t* p, std::size_t n, Millis now) {
  Bus& bus = gateway_.bus_;
  Reply reply;
  Millis t = now;
  std::vector<uint8_t>& r = reply.payload;
  auto refuse = [&] { r = StatusOnly(kStatusFailed); };

  switch (command) {
    case cmd::kReset:
      bus.Stop(t);
      r = StatusOnly(kStatusOk);
      break;
    case cmd::kBusConfig: {
      if (n < 4) { refuse(); break; }
      const uint32_t rate = ReadLE32(p);
      if (rate < kMinBitRate || rate > kMaxBitRate) { refuse(); break; }
      gateway_.bit_rate_ = rate;
      r = StatusOnly(kStatusOk);
      break;
    }
    case cmd::kDeviceInfo: {
      const auto record = gateway_.InfoRecord();
      r = StatusOnly(kStatusOk);
      r.insert(r.end(), record.begin(), record.end());
      break;
    }
    case cmd::kDeviceStatus: {
      const std::string text = gateway_.StatusText(now);
      r = StatusOnly(kStatusOk);
      r.insert(r.end(), text.begin(), text.end());
      break;
    }
    case cmd::kRead: {
      if (n < 4 || ReadLE16(p + 2) > kMaxReplyData) { refuse(); break; }
      std::vector<uint8_t> data;
      r = StatusOnly(MasterRead(bus, ReadLE16(p), ReadLE16(p + 2), &t, &data));
      r.insert(r.end(), data.begin(), data.end());
      break;
    }
    case cmd::kWrite: {
      if (n < 2) { refuse(); break; }
      uint16_t acknowledged = 0;
      r = StatusOnly(MasterWrite(bus, ReadLE16(p), p + 2, n - 2, &t, &acknowledged));
      AppendLE16(r, acknowledged);
      break;
    }
    case cmd::kEepromRead: {
      if (n < 9 || ReadLE16(p + 7) > kMaxReplyData) { refuse(); break; }
      const EepromTarget target{ReadLE16(p), p[2], ReadBE32(p + 3)};
      std::vector<uint8_t> data;
      r = StatusOnly(EepromRead(bus, target, ReadLE16(p + 7), &t, &data));
      // Plain reply layout: the data follow the status byte directly.
      r.insert(r.end(), data.begin(), data.end());
      break;
    }
    case cmd::kEepromWrite: {
      if (n < 7) { refuse(); break; }
      const EepromTarget target{ReadLE16(p), p[2], ReadBE32(p + 3)};
      r = StatusOnly(EepromWrite(bus, target, p + 7, n - 7, std::nullopt, &t));
      break;
    }
    case cmd::kEepromWritePoll: {
      if (n < 9) { refuse(); break; }
      const EepromTarget target{ReadLE16(p), p[4], ReadBE32(p + 5)};
      r = StatusOnly(EepromWrite(bus, target, p + 9, n - 9, ReadLE16(p + 2), &t));
      break;
    }
    case cmd::kSequence: {
      if (n < 2) { refuse(); break; }
      const std::size_t result_size = std::min<std::size_t>(ReadLE16(p), kMaxReplyData);
      const SequenceOutcome outcome = RunSequence(bus, p + 2, n - 2, result_size, &t);
      r = StatusOnly(outcome.status);
      AppendLE16(r, outcome.completed);
      r.insert(r.end(), outcome.results.begin(), outcome.results.end());
      break;
    }
    case cmd::kRawStart:
      r = StatusOnly(RawStart(bus));
      break;
    case cmd::kRawSend:
      if (n < 2) { refuse(); break; }
      r = StatusOnly(RawSend(bus, p[0], p[1], t));
      break;
    case cmd::kRawGet: {
      if (n < 1) { refuse(); break; }
      uint8_t byte = 0;
      const uint8_t status = RawGet(bus, p[0], &byte);
      r = StatusOnly(status);
      if (status == kStatusOk) r.push_back(byte);
      break;
    }
    case cmd::kRawStop:
      r = StatusOnly(RawStop(bus, t));
      break;
    case cmd::kReadDigital:
      r = StatusOnly(kStatusOk);
      AppendLE32(r, bus.Inputs());
      AppendLE32(r, bus.Outputs());
      break;
    case cmd::kWriteDigital:
      if (n < 4) { refuse(); break; }
      bus.SetOutputs(ReadLE32(p));
      r = StatusOnly(kStatusOk);
      break;
    default:
      refuse();  // unknown command or another device kind
      break;
  }
  reply.bus_ms = t - now;
  return reply;
}

Outgoing Session::Disconnect() {
  Outgoing out;
  if (accepted_) {
    out.telegrams.push_back(Telegram(cmd::kDisconnect, 0, {}));
  } else {
    out.close = true;
  }
  return out;
}

std::optional<Millis> Session::NextTimer() const {
  if (!accepted_ || gateway_.options_.keep_alive_ms == 0) return std::nullopt;
  return next_keep_alive_;
}

Outgoing Session::OnTimer(Millis now) {
  Outgoing out;
  const uint32_t interval = gateway_.options_.keep_alive_ms;
  if (!accepted_ || interval == 0 || now < next_keep_alive_) return out;
  // The client confirms every request; two intervals without a confirmation mean it is gone.
  if (now - last_confirmation_ > 2ull * interval) {
    out.close = true;
    out.note = "no keep-alive confirmation";
    return out;
  }
  out.telegrams.push_back(KeepAliveRequest());
  // Twice per interval, so the client's supervision never runs out while we are alive.
  next_keep_alive_ = now + std::max<Millis>(interval / 2, 10);
  return out;
}

}  // namespace korvane::sim
