#ifndef KORVANE_SIM_TELEGRAM_LOG_H
#define KORVANE_SIM_TELEGRAM_LOG_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvane::sim {

// One line for -v: id, command and its meaning, then every byte in hex.
std::string DescribeTelegram(const uint8_t* frame, std::size_t length);

}  // namespace korvane::sim

#endif
