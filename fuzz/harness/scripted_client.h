#ifndef KORVANE_FUZZ_HARNESS_SCRIPTED_CLIENT_H
#define KORVANE_FUZZ_HARNESS_SCRIPTED_CLIENT_H

#include <cstdint>
#include <functional>

#include "i2c/KorvaneClientI2C.h"

namespace korvane::fuzz {

// An I2C client whose requests go nowhere: Send hands the request to a script, which plays
// the gateway by pushing received bytes through the client's own (unconnected) connection
// while the request is in flight, exactly as the receive thread would. With a time-out of
// 0 the wait that follows only finds what the script delivered, so a run never sleeps.
class ScriptedClient : public CKorvaneClientI2C {
 public:
  using Script = std::function<void(ScriptedClient&, const CKorvaneMsg& request)>;

  explicit ScriptedClient(Script script) : CKorvaneClientI2C(0), script_(std::move(script)) {}

  int32_t Send(const CKorvaneMsg& request) override {
    script_(*this, request);
    return 0;
  }

  // What the receive thread does with one framed telegram.
  void Receive(const uint8_t* frame, std::size_t length) { Connection().DispatchTelegram(frame, length); }

 private:
  Script script_;
};

}  // namespace korvane::fuzz

#endif
