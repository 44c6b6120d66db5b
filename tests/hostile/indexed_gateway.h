#ifndef KORVANE_TESTS_HOSTILE_INDEXED_GATEWAY_H
#define KORVANE_TESTS_HOSTILE_INDEXED_GATEWAY_H

#include <chrono>
#include <memory>
#include <random>

#include "support/fake_gateway.h"

namespace korvane::test {

// A fake gateway on a free port 5000 + 100 * index, where the open functions reach it.
// Other tests run in parallel, so indices are tried in random order until one binds.
struct IndexedGateway {
  std::unique_ptr<FakeGateway> gw;
  int index = -1;

  IndexedGateway() {
    std::mt19937 rng(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 100 && index < 0; ++attempt) {
      const int i = static_cast<int>(rng() % 99) + 1;
      auto candidate = std::make_unique<FakeGateway>(Family::kIPv4, static_cast<uint16_t>(5000 + 100 * i));
      if (candidate->ok()) {
        gw = std::move(candidate);
        index = i;
      }
    }
  }
};

}  // namespace korvane::test

#endif
