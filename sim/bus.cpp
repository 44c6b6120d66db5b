#include "bus.h"

#include "sensor.h"

namespace korvane::sim {

bool Bus::Add(std::unique_ptr<Device> device) {
  for (int a = 0; a < 128; ++a) {
    if (device->Answers(static_cast<uint8_t>(a)) && Find(static_cast<uint8_t>(a)) != nullptr) return false;
  }
  devices_.push_back(std::move(device));
  return true;
}

Device* Bus::Find(uint8_t address7) const {
  for (const auto& d : devices_) {
    if (d->Answers(address7)) return d.get();
  }
  return nullptr;
}

Eeprom* Bus::FindEeprom(uint8_t address7) const { return dynamic_cast<Eeprom*>(Find(address7)); }

void Bus::Start() {
  if (state_ == State::kWriting || state_ == State::kReading) current_->Restart();
  current_ = nullptr;
  state_ = State::kStarted;
}

Ack Bus::Send(uint8_t byte, Millis now) {
  switch (state_) {
    case State::kStarted: {
      const uint8_t address7 = static_cast<uint8_t>(byte >> 1);
      const bool read = (byte & 1u) != 0;
      Device* device = Find(address7);
      if (device == nullptr || !device->Select(address7, read, now)) {
        state_ = State::kUnanswered;
        return Ack::kNack;
      }
      current_ = device;
      state_ = read ? State::kReading : State::kWriting;
      return Ack::kAck;
    }
    case State::kWriting:
      return current_->Receive(byte) ? Ack::kAck : Ack::kNack;
    case State::kUnanswered:
      return Ack::kNack;
    case State::kIdle:
    case State::kReading:
      break;
  }
  return Ack::kMisuse;
}

Ack Bus::Get(uint8_t* byte) {
  if (state_ == State::kReading) {
    *byte = current_->Transmit();
    return Ack::kAck;
  }
  if (state_ == State::kUnanswered) {
    *byte = 0xFF;  // nobody pulls the data line low
    return Ack::kNack;
  }
  return Ack::kMisuse;
}

void Bus::Stop(Millis now) {
  if (state_ == State::kWriting || state_ == State::kReading) current_->Stop(now);
  current_ = nullptr;
  state_ = State::kIdle;
}

void AddDefaultDevices(Bus* bus, Millis write_cycle_ms) {
  bus->Add(std::make_unique<Eeprom>(EepromGeometry{0x50, 32768, 64, 2, write_cycle_ms}));
  bus->Add(std::make_unique<Eeprom>(EepromGeometry{0x51, 256, 16, 1, write_cycle_ms}));
  bus->Add(std::make_unique<Sensor>(0x48, static_cast<int16_t>(25 * 256 + 128)));
  bus->SetLineCount(16);
}

std::vector<std::string> DescribeBus(const Bus& bus) {
  std::vector<std::string> lines;
  for (const auto& d : bus.Devices()) lines.push_back(d->Describe());
  lines.push_back(std::to_string(bus.LineCount()) + " digital lines (inputs read back the outputs)");
  return lines;
}

}  // namespace korvane::sim
