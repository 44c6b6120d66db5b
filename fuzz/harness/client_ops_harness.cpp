#include <cstring>
#include <vector>

#include "harness/fuzz_input.h"
#include "harness/harnesses.h"
#include "harness/scripted_client.h"
#include "protocol/telegram_codec.h"

// Input layout:
//   byte 0     operation (modulo the 16 operations below)
//   byte 1     how the confirmation is framed: bit 0 command from the input (else the
//              request's command with the reply bit), bit 1 id from the input (else the
//              request's), bit 2 checksum from the input (else correct), bit 3 the rest of the
//              input is sent as it stands, unframed
//   4 x 4      arguments (lengths, sizes, values) of the operation
//   [2+2+1]    command, id and checksum, each read only when its flag says so
//   rest       the confirmation's payload (status byte first), or the raw frame

namespace korvane::fuzz {

namespace {

constexpr int32_t kTimeout = 0x40000;
constexpr int32_t kBadChecksum = 0xA0000;
constexpr int32_t kNotConfirmed = 0xB0000;

bool IsTransactFault(int32_t rc) { return rc == kTimeout || rc == kBadChecksum || rc == kNotConfirmed; }

bool Untouched(ExactBuffer& b) {
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (b.data()[i] != 0xCD) return false;
  }
  return true;
}

}  // namespace

int FuzzClientOperations(const uint8_t* data, std::size_t size) {
  Input in(data, size);
  const uint8_t op = in.Byte() & 0x0Fu;
  const uint8_t framing = in.Byte();
  const int32_t arg[4] = {in.I32(), in.I32(), in.I32(), in.I32()};
  const uint16_t command = (framing & 1u) != 0 ? in.U16() : 0;
  const uint16_t id = (framing & 2u) != 0 ? in.U16() : 0;
  const uint8_t checksum = (framing & 4u) != 0 ? in.Byte() : 0;
  const std::vector<uint8_t> body = in.Rest();

  std::size_t requests = 0;
  ScriptedClient client([&](ScriptedClient& c, const CKorvaneMsg& request) {
    ++requests;
    std::vector<uint8_t> frame;
    if ((framing & 8u) != 0) {
      frame = body;
    } else {
      const uint16_t cmd = (framing & 1u) != 0 ? command : static_cast<uint16_t>(request.command | 0x8000u);
      const uint16_t tid = (framing & 2u) != 0 ? id : request.id;
      const std::size_t payload = body.size() > codec::kMaxSentTelegram - codec::kOverhead
                                      ? codec::kMaxSentTelegram - codec::kOverhead
                                      : body.size();
      frame = codec::Build(cmd, tid, body.data(), payload);
      if ((framing & 4u) != 0) frame.back() = checksum;
    }
    ExactBuffer exact(frame.size());
    if (!frame.empty()) std::memcpy(exact.data(), frame.data(), frame.size());
    c.Receive(exact.data(), exact.size());
  });

  // Caller buffers are exactly as large as each call says (the low 16 bits of a length).
  const int32_t length = arg[0];
  int32_t rc = 0;
  switch (op) {
    case 0: rc = client.ConfigureBus(arg[1]); break;
    case 1: {
      ExactBuffer buffer(Low16(length));
      rc = client.Read(arg[1], buffer.data(), length);
      if (IsTransactFault(rc)) KORVANE_FUZZ_CHECK(Untouched(buffer));
      break;
    }
    case 2: {
      ExactBuffer buffer(Low16(length));
      ExactBuffer value(sizeof(int32_t));
      rc = client.Write(arg[1], buffer.data(), length, reinterpret_cast<int32_t*>(value.data()));
      if (rc != 0) KORVANE_FUZZ_CHECK(Untouched(value));
      break;
    }
    case 3: rc = client.Reset(); break;
    case 4: {
      ExactBuffer buffer(Low16(length));
      rc = client.ReadEEProm(static_cast<uint32_t>(arg[1]), static_cast<uint32_t>(arg[2]), buffer.data(), length,
                             arg[3]);
      if (IsTransactFault(rc)) KORVANE_FUZZ_CHECK(Untouched(buffer));
      break;
    }
    case 5: {
      ExactBuffer buffer(Low16(length));
      rc = client.WriteEEProm(static_cast<uint32_t>(arg[1]), static_cast<uint32_t>(arg[2]), buffer.data(), length,
                              arg[3]);
      break;
    }
    case 6: {
      ExactBuffer buffer(Low16(length));
      rc = client.WriteEEPromPollAck(static_cast<uint32_t>(arg[1]), static_cast<uint32_t>(arg[2]), buffer.data(),
                                     length, arg[3], arg[1]);
      break;
    }
    case 7: {
      ExactBuffer first(sizeof(int32_t));
      ExactBuffer second(sizeof(int32_t));
      rc = client.ReadDigital(reinterpret_cast<int32_t*>(first.data()), reinterpret_cast<int32_t*>(second.data()));
      if (IsTransactFault(rc)) KORVANE_FUZZ_CHECK(Untouched(first) && Untouched(second));
      break;
    }
    case 8: rc = client.WriteDigital(arg[1]); break;
    case 9: {
      ExactBuffer record(20, 0);
      rc = client.DeviceInfo(record.data());
      break;
    }
    case 10: {
      // The export hands the client only a buffer of at least one byte.
      const int text_size = static_cast<int>(Low16(length) % 4096) + 1;
      ExactBuffer buffer(static_cast<std::size_t>(text_size));
      const int written = client.DeviceStatus(reinterpret_cast<char*>(buffer.data()), text_size);
      KORVANE_FUZZ_CHECK(written >= 1 && written <= text_size && buffer.data()[written - 1] == 0);
      break;
    }
    case 11: {
      ExactBuffer sequence(Low16(length));
      ExactBuffer result(Low16(arg[1]));
      ExactBuffer count(sizeof(int32_t));
      ExactBuffer value(sizeof(int32_t));
      rc = client.Sequence(sequence.data(), length, result.data(), arg[1], reinterpret_cast<int32_t*>(count.data()),
                           reinterpret_cast<int32_t*>(value.data()));
      if (rc != 0) KORVANE_FUZZ_CHECK(Untouched(count) && Untouched(value));
      if (IsTransactFault(rc)) KORVANE_FUZZ_CHECK(Untouched(result));
      break;
    }
    case 12: rc = client.RawStart(); break;
    case 13: rc = client.RawSend(arg[1], arg[2]); break;
    case 14: {
      ExactBuffer byte(1);
      rc = client.RawGet(arg[1], reinterpret_cast<char*>(byte.data()));
      if (rc != 0) KORVANE_FUZZ_CHECK(Untouched(byte));
      break;
    }
    default: rc = client.RawStop(); break;
  }
  // Every operation sends at most one request, and nothing stays stored after it.
  KORVANE_FUZZ_CHECK(requests <= 1);
  KORVANE_FUZZ_CHECK(client.StoredReplies() == 0);
  return 0;
}

}  // namespace korvane::fuzz
