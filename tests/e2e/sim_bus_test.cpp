// The simulator's bus model: EEPROM page handling and write cycle, address wrap, the sensor,
// the sequence language and the bus file.

#include <gtest/gtest.h>

#include <sstream>

#include "bus.h"
#include "bus_file.h"
#include "master.h"
#include "sensor.h"
#include "sequence.h"

namespace korvane::sim {
namespace {

constexpr Millis kCycle = 5;

class BusTest : public ::testing::Test {
 protected:
  void SetUp() override { AddDefaultDevices(&bus, kCycle); }
  const std::vector<uint8_t>& Big() { return bus.FindEeprom(0x50)->Memory(); }
  const std::vector<uint8_t>& Small() { return bus.FindEeprom(0x51)->Memory(); }
  static std::vector<uint8_t> Pattern(std::size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + 7 * i);
    return v;
  }
  Bus bus;
  Millis now = 1000;
};

TEST_F(BusTest, EepromWriteSplitsAtPagesAndWaitsEachWriteCycle) {
  // 0x30..0x93 touches three 64-byte pages: 16 + 64 + 20 bytes.
  const auto data = Pattern(100, 1);
  Millis t = now;
  ASSERT_EQ(kStatusOk, EepromWrite(bus, {0xA0, 2, 0x30}, data.data(), data.size(), std::nullopt, &t));
  EXPECT_EQ(2 * kCycle, t - now);  // two waits between three pages; the last cycle runs on
  EXPECT_TRUE(std::equal(data.begin(), data.end(), Big().begin() + 0x30));
  EXPECT_EQ(0xFF, Big()[0x2F]);
  EXPECT_EQ(0xFF, Big()[0x94]);

  // The polling write also waits for the last write cycle to end.
  t = now = t + kCycle;
  ASSERT_EQ(kStatusOk, EepromWrite(bus, {0xA0, 2, 0x30}, data.data(), data.size(), uint16_t{50}, &t));
  EXPECT_EQ(3 * kCycle, t - now);
}

TEST_F(BusTest, WriteCycleRefusesPlainAccessAndPollingWaitsWithinItsLimit) {
  const uint8_t byte = 0x42;
  Millis t = now;
  ASSERT_EQ(kStatusOk, EepromWrite(bus, {0xA2, 1, 0x10}, &byte, 1, std::nullopt, &t));
  // Inside the write cycle the chip acknowledges nothing.
  t = now + 1;
  EXPECT_EQ(kStatusNack, EepromWrite(bus, {0xA2, 1, 0x11}, &byte, 1, std::nullopt, &t));
  std::vector<uint8_t> read;
  t = now + 1;
  EXPECT_EQ(kStatusNack, EepromRead(bus, {0xA2, 1, 0x10}, 1, &t, &read));
  t = now + 1;
  EXPECT_EQ(kStatusPollTimeout, EepromWrite(bus, {0xA2, 1, 0x11}, &byte, 1, uint16_t{2}, &t));
  EXPECT_EQ(0xFF, Small()[0x11]);
  // A limit that covers the rest of the cycle succeeds; the write starts when the chip answers.
  t = now + 1;
  EXPECT_EQ(kStatusOk, EepromWrite(bus, {0xA2, 1, 0x11}, &byte, 1, uint16_t{kCycle}, &t));
  EXPECT_EQ(now + kCycle + kCycle, t);
  EXPECT_EQ(0x42, Small()[0x11]);
  // Once the cycle is over a plain access works again.
  t = now + 2 * kCycle;
  EXPECT_EQ(kStatusOk, EepromRead(bus, {0xA2, 1, 0x10}, 2, &t, &read));
  EXPECT_EQ((std::vector<uint8_t>{0x42, 0x42}), read);
}

TEST_F(BusTest, AddressesWrapInsideThePageOnWriteAndAtTheEndOnRead) {
  // A raw write beyond the page end rolls over to the page start (page 0x00-0x3F).
  std::vector<uint8_t> bytes = {0x00, 0x3C};
  const auto data = Pattern(8, 0x80);
  bytes.insert(bytes.end(), data.begin(), data.end());
  Millis t = now;
  uint16_t acknowledged = 0;
  ASSERT_EQ(kStatusOk, MasterWrite(bus, 0xA0, bytes.data(), bytes.size(), &t, &acknowledged));
  EXPECT_EQ(10, acknowledged);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 4, Big().begin() + 0x3C));
  EXPECT_TRUE(std::equal(data.begin() + 4, data.end(), Big().begin()));
  EXPECT_EQ(0xFF, Big()[0x40]);

  // Reads run past the last byte to the first; the offset is cut to the memory size.
  const uint8_t tail[] = {0xAA, 0xBB};
  const uint8_t head[] = {0xCC};
  t = now += 100;
  ASSERT_EQ(kStatusOk, EepromWrite(bus, {0xA2, 1, 0xFE}, tail, 2, uint16_t{20}, &t));
  ASSERT_EQ(kStatusOk, EepromWrite(bus, {0xA2, 1, 0x100}, head, 1, uint16_t{20}, &t));  // offset 0x100 is 0x00
  std::vector<uint8_t> read;
  ASSERT_EQ(kStatusOk, EepromRead(bus, {0xA2, 1, 0xFE}, 3, &t, &read));
  EXPECT_EQ((std::vector<uint8_t>{0xAA, 0xBB, 0xCC}), read);
}

TEST_F(BusTest, AbsentAddressesAndTenBitAddressesAreRefused) {
  std::vector<uint8_t> read;
  Millis t = now;
  EXPECT_EQ(kStatusNack, MasterRead(bus, 0xC0, 1, &t, &read));
  EXPECT_TRUE(read.empty());
  EXPECT_EQ(kStatusNack, EepromRead(bus, {0xA4, 2, 0}, 1, &t, &read));
  EXPECT_EQ(kStatusFailed, MasterRead(bus, 0x1A0, 1, &t, &read));
  EXPECT_EQ(kStatusFailed, EepromRead(bus, {0xA0, 3, 0}, 1, &t, &read));
  uint16_t acknowledged = 7;
  EXPECT_EQ(kStatusNack, MasterWrite(bus, 0xC0, nullptr, 0, &t, &acknowledged));
  EXPECT_EQ(0, acknowledged);
  EXPECT_EQ(kStatusOk, MasterWrite(bus, 0x90, nullptr, 0, &t, &acknowledged));  // a probe
  EXPECT_TRUE(bus.Idle());
}

TEST_F(BusTest, SensorKeepsAPointerAndProtectsTheTemperature) {
  Millis t = now;
  uint16_t acknowledged = 0;
  const uint8_t set_limit[] = {0x03, 0x55, 0x80};
  ASSERT_EQ(kStatusOk, MasterWrite(bus, 0x90, set_limit, 3, &t, &acknowledged));
  std::vector<uint8_t> read;
  ASSERT_EQ(kStatusOk, MasterRead(bus, 0x90, 4, &t, &read));
  EXPECT_EQ((std::vector<uint8_t>{0x55, 0x80, 0x55, 0x80}), read);  // the register, again and again
  const uint8_t write_temperature[] = {0x00, 0x10};
  EXPECT_EQ(kStatusNack, MasterWrite(bus, 0x90, write_temperature, 2, &t, &acknowledged));
  EXPECT_EQ(1, acknowledged);
  read.clear();
  ASSERT_EQ(kStatusOk, MasterRead(bus, 0x90, 2, &t, &read));
  EXPECT_EQ((std::vector<uint8_t>{0x19, 0x80}), read);  // 25.5 degrees
}

TEST_F(BusTest, RawStepsDriveTheBusByteByByte) {
  uint8_t byte = 0;
  EXPECT_EQ(kStatusFailed, RawGet(bus, 0, &byte));      // nothing addressed
  EXPECT_EQ(kStatusFailed, RawSend(bus, 0x00, 0, now));  // data byte on an idle bus
  EXPECT_EQ(kStatusOk, RawSend(bus, 0x90, 1, now));      // start + address
  EXPECT_EQ(kStatusOk, RawSend(bus, 0x00, 0, now));      // register pointer 0
  EXPECT_EQ(kStatusOk, RawStart(bus));                    // repeated start
  EXPECT_EQ(kStatusOk, RawSend(bus, 0x91, 0, now));
  EXPECT_EQ(kStatusOk, RawGet(bus, 1, &byte));
  EXPECT_EQ(0x19, byte);
  EXPECT_EQ(kStatusOk, RawGet(bus, 0, &byte));
  EXPECT_EQ(0x80, byte);
  EXPECT_EQ(kStatusOk, RawStop(bus, now));
  EXPECT_EQ(kStatusNack, RawSend(bus, 0xC0, 1, now));
  EXPECT_EQ(kStatusOk, RawStop(bus, now));
}

struct SequenceCase {
  const char* name;
  std::vector<uint8_t> sequence;
  std::size_t result_size;
  uint8_t status;
  uint16_t completed;
  std::vector<uint8_t> results;
};

void PrintTo(const SequenceCase& c, std::ostream* os) { *os << c.name; }

class SequenceTest : public BusTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(SequenceTest, Runs) {
  const SequenceCase& c = GetParam();
  // Memory of the small EEPROM: 0x10.. = 10 11 12 13.
  const uint8_t preset[] = {0x10, 0x11, 0x12, 0x13};
  Millis t = now;
  ASSERT_EQ(kStatusOk, EepromWrite(bus, {0xA2, 1, 0x10}, preset, 4, uint16_t{20}, &t));
  const SequenceOutcome out = RunSequence(bus, c.sequence.data(), c.sequence.size(), c.result_size, &t);
  EXPECT_EQ(c.status, out.status);
  EXPECT_EQ(c.completed, out.completed);
  EXPECT_EQ(c.results, out.results);
  EXPECT_TRUE(bus.Idle());  // the bus is released whatever happened
}

INSTANTIATE_TEST_SUITE_P(
    Language, SequenceTest,
    ::testing::Values(
        SequenceCase{"RandomRead", {1, 2, 0xA2, 1, 0x11, 1, 3, 0xA2, 3, 4}, 32, 0, 5, {0x11, 0x12, 0x13}},
        SequenceCase{"ResultCutToResultSize", {1, 2, 0xA2, 1, 0x10, 1, 3, 0xA2, 4, 4}, 2, 0, 5, {0x10, 0x11}},
        SequenceCase{"SensorRegister", {1, 2, 0x90, 1, 0, 1, 3, 0x91, 2, 4}, 8, 0, 5, {0x19, 0x80}},
        // The stop starts the write cycle, so the chip does not answer the read at once ...
        SequenceCase{"ReadInsideWriteCycle", {1, 2, 0xA2, 2, 0x20, 0xAB, 4, 1, 3, 0xA2, 1, 4}, 8, 0x20, 4, {}},
        // ... but after a delay of one write cycle it does.
        SequenceCase{"DelayCoversWriteCycle",
                     {1, 2, 0xA2, 2, 0x20, 0xAB, 4, 5, 5, 1, 2, 0xA2, 1, 0x20, 1, 3, 0xA2, 1, 4}, 8, 0, 9, {0xAB}},
        SequenceCase{"AbsentDevice", {1, 3, 0xC0, 1, 4}, 8, 0x20, 1, {}},
        SequenceCase{"EmptySequence", {}, 8, 0, 0, {}},
        SequenceCase{"UnknownCode", {9}, 8, 0xFF, 0, {}},
        SequenceCase{"WriteWithoutStart", {2, 0xA2, 0}, 8, 0xFF, 0, {}},
        SequenceCase{"SecondAddressNeedsStart", {1, 2, 0xA2, 1, 0x10, 3, 0xA2, 1}, 8, 0xFF, 2, {}},
        SequenceCase{"WriteCutShort", {1, 2, 0xA2, 5, 0}, 8, 0xFF, 1, {}},
        SequenceCase{"DelayWithoutValue", {5}, 8, 0xFF, 0, {}}),
    [](const ::testing::TestParamInfo<SequenceCase>& p) { return std::string(p.param.name); });

TEST(BusFileTest, DescribesDevicesAndRejectsBadLines) {
  Bus bus;
  std::string error;
  std::istringstream good(
      "# two blocks of 256 bytes behind one address byte\n"
      "eeprom 0x50 512 16 1\n"
      "sensor 0x48 -5.25   # below zero\n"
      "lines 8\n");
  ASSERT_TRUE(LoadBus(good, 3, &bus, &error)) << error;
  EXPECT_EQ(8, bus.LineCount());
  ASSERT_NE(nullptr, bus.FindEeprom(0x51));  // the second block answers at the next address
  EXPECT_EQ(bus.FindEeprom(0x50), bus.FindEeprom(0x51));
  // The block select bit lands in address bit 8.
  const uint8_t byte = 0x5A;
  Millis t = 0;
  ASSERT_EQ(kStatusOk, EepromWrite(bus, {0xA2, 1, 0x1A5}, &byte, 1, uint16_t{10}, &t));
  EXPECT_EQ(0x5A, bus.FindEeprom(0x50)->Memory()[0x1A5]);
  std::vector<uint8_t> read;
  ASSERT_EQ(kStatusOk, MasterRead(bus, 0x90, 2, &t, &read));
  EXPECT_EQ((std::vector<uint8_t>{0xFA, 0xC0}), read);  // -5.25 * 256 = 0xFAC0

  for (const char* bad : {"eeprom 0x50 300 16 1", "eeprom 0x50 256 512 1", "eeprom 0x80 256 16 1",
                          "eeprom 0x50 256 16 3", "sensor 0x50\neeprom 0x50 256 16 1", "lines 33", "fan 0x20",
                          "eeprom 0x7F 1024 16 1", "sensor x"}) {
    Bus other;
    std::istringstream in(bad);
    EXPECT_FALSE(LoadBus(in, 5, &other, &error)) << bad;
    EXPECT_EQ(0u, error.rfind("line ", 0)) << error;
  }
}

}  // namespace
}  // namespace korvane::sim
