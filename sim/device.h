#ifndef KORVANE_SIM_DEVICE_H
#define KORVANE_SIM_DEVICE_H

#include <cstdint>
#include <string>

namespace korvane::sim {

// Milliseconds on the simulator's clock. The bus model never reads a clock itself: every
// operation is told the time, so tests can step it and transfers can advance it.
using Millis = uint64_t;

// One slave on the simulated bus, seen the way a master sees it: an address phase that the
// device acknowledges or not, bytes written to it, bytes read from it, and the end of the
// transfer by a stop condition or a repeated start.
class Device {
 public:
  virtual ~Device() = default;

  // True when the 7-bit address belongs to this device.
  virtual bool Answers(uint8_t address7) const = 0;
  // Address phase of a transfer; false means no acknowledge.
  virtual bool Select(uint8_t address7, bool read, Millis now) = 0;
  // A byte written by the master; false means no acknowledge.
  virtual bool Receive(uint8_t byte) = 0;
  // A byte read by the master.
  virtual uint8_t Transmit() = 0;
  // Stop condition: a write transfer takes effect.
  virtual void Stop(Millis now) = 0;
  // Repeated start: the transfer ends without a stop, so a pending write is dropped.
  virtual void Restart() = 0;
  // One line for --help and the logs.
  virtual std::string Describe() const = 0;
};

}  // namespace korvane::sim

#endif
