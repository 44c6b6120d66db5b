// End to end: the command-line tool and the library against the gateway simulator, each a
// real process on loopback TCP.

#include <KorvaneI2C.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>

#include "child_process.h"

namespace korvane::e2e {
namespace {

using namespace std::chrono_literals;

const std::string kTool = KORVANE_TOOL_PATH;
const std::string kSim = KORVANE_GWSIM_PATH;

struct Simulator {
  std::unique_ptr<ChildProcess> process;
  int port_index = -1;
};

// The library connects to 5000 + 100 * index, so the simulator needs a free index. Another
// program can take the port between the check and the bind; the simulator then exits before
// it announces itself and the next index is tried.
Simulator StartSimulator(const std::vector<std::string>& options) {
  const int first = static_cast<int>(getpid() % 80);
  std::string last_error = "no free port index";
  for (int attempt = 0; attempt < 40; ++attempt) {
    const int index = 10 + (first + attempt * 7) % 90;
    if (!PortFree(5000 + 100 * index)) continue;
    std::vector<std::string> argv = {kSim, "--port-index", std::to_string(index)};
    argv.insert(argv.end(), options.begin(), options.end());
    auto process = std::make_unique<ChildProcess>(argv);
    const auto line = process->WaitForLine("listening on ", 10s);
    if (line) {
      EXPECT_EQ("listening on 127.0.0.1:" + std::to_string(5000 + 100 * index), *line);
      return Simulator{std::move(process), index};
    }
    const auto code = process->Wait(1s);
    last_error = "index " + std::to_string(index) + ": exit " + (code ? std::to_string(*code) : "none") + ", " +
                 process->Err();
  }
  ADD_FAILURE() << "the simulator did not start on any free port index; last: " << last_error;
  return {};
}

// A port index on which nothing listens.
int FreeIndex() {
  for (int index = 10 + static_cast<int>(getpid() % 80);; index = 10 + (index + 3) % 90) {
    if (PortFree(5000 + 100 * index)) return index;
  }
}

Finished Tool(int port_index, std::vector<std::string> args, std::chrono::milliseconds timeout = 30s) {
  std::vector<std::string> argv = {kTool, "-p", std::to_string(port_index)};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunToEnd(argv, timeout);
}

std::string TempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/korvane-e2e-" + std::to_string(getpid()) + "-" + name;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<uint8_t> RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(random());
  return v;
}

TEST(ToolEndToEnd, DetectFindsExactlyTheDefaultDevices) {
  Simulator sim = StartSimulator({});
  ASSERT_TRUE(sim.process);
  const Finished json = Tool(sim.port_index, {"--json", "detect"});
  EXPECT_EQ(0, json.exit_code) << json.err;
  EXPECT_EQ("{\"devices\":[72,80,81]}\n", json.out);
  // Probing by reads only finds the same three.
  const Finished grid = Tool(sim.port_index, {"detect", "-r"});
  EXPECT_EQ(0, grid.exit_code) << grid.err;
  EXPECT_NE(std::string::npos, grid.out.find("40: -- -- -- -- -- -- -- -- 48 --")) << grid.out;
  EXPECT_NE(std::string::npos, grid.out.find("50: 50 51 -- --")) << grid.out;
}

TEST(ToolEndToEnd, BusFileDescribesAnotherBus) {
  const std::string bus = TempPath("other.bus");
  {
    std::ofstream out(bus);
    out << "# a 512-byte EEPROM on two addresses and a sensor\neeprom 0x50 512 16 1\nsensor 0x20 -1\nlines 4\n";
  }
  Simulator sim = StartSimulator({"--bus", bus});
  std::remove(bus.c_str());
  ASSERT_TRUE(sim.process);
  EXPECT_EQ("{\"devices\":[32,80,81]}\n", Tool(sim.port_index, {"--json", "detect"}).out);
  EXPECT_EQ("0xff 0x00\n", Tool(sim.port_index, {"get", "0x20", "2"}).out);  // -1 degree
  EXPECT_EQ("inputs 0x0000000f outputs 0x0000000f\n", Tool(sim.port_index, {"gpio", "0xff"}).out);
  // Offset 0x1A5 with mode 0x0108: the ninth offset bit selects the second address.
  const Finished w = Tool(sim.port_index, {"eeprom", "write", "--mode", "0x108", "--offset", "0x1a5", "--text", "Z"});
  EXPECT_EQ(0, w.exit_code) << w.err;
  EXPECT_EQ("reply value 5, 1 result byte: 0x5a\n",
            Tool(sim.port_index, {"seq", "01", "02a201a5", "01", "03a301", "04"}).out);
}

TEST(ToolEndToEnd, EepromImagesRoundTripAcrossPages) {
  Simulator sim = StartSimulator({});
  ASSERT_TRUE(sim.process);
  struct Case {
    std::vector<std::string> where;
    std::size_t size;
  };
  // The 32 KiB EEPROM (two address bytes, 64-byte pages) and the 256-byte one (chip select
  // 1, one address byte: mode 0x0008, 16-byte pages), each filled completely.
  for (const Case& c : {Case{{}, 32768}, Case{{"--cs", "1", "--mode", "8"}, 256}}) {
    const std::string image = TempPath("image.bin"), back = TempPath("back.bin");
    const std::vector<uint8_t> data = RandomBytes(c.size, static_cast<unsigned>(c.size));
    WriteFile(image, data);
    std::vector<std::string> write = {"eeprom", "write", "-i", image};
    write.insert(write.end(), c.where.begin(), c.where.end());
    const Finished w = Tool(sim.port_index, write);
    ASSERT_EQ(0, w.exit_code) << w.err;
    std::vector<std::string> read = {"eeprom", "read", "--length", std::to_string(c.size), "-o", back};
    read.insert(read.end(), c.where.begin(), c.where.end());
    const Finished r = Tool(sim.port_index, read);
    ASSERT_EQ(0, r.exit_code) << r.err;
    EXPECT_TRUE(data == ReadFile(back)) << "image of " << c.size << " bytes differs";
    std::vector<std::string> verify = {"eeprom", "verify", "-i", image};
    verify.insert(verify.end(), c.where.begin(), c.where.end());
    const Finished v = Tool(sim.port_index, verify);
    EXPECT_EQ(0, v.exit_code) << v.err;
    std::remove(image.c_str());
    std::remove(back.c_str());
  }
  // A changed byte is found.
  const Finished v = Tool(sim.port_index, {"eeprom", "verify", "--text", "?", "--offset", "5"});
  EXPECT_EQ(1, v.exit_code);
  EXPECT_NE(std::string::npos, v.err.find("differ, the first at offset 0x0005")) << v.err;
}

TEST(ToolEndToEnd, PlainWriteInsideTheWriteCycleFailsAndPollingWaits) {
  // A long write cycle, so the next tool run surely falls into it.
  Simulator sim = StartSimulator({"--write-cycle-ms", "1500"});
  ASSERT_TRUE(sim.process);
  const Finished first = Tool(sim.port_index, {"eeprom", "write", "--poll", "0", "--text", "first"});
  ASSERT_EQ(0, first.exit_code) << first.err;
  const Finished plain = Tool(sim.port_index, {"eeprom", "write", "--poll", "0", "--text", "second"});
  EXPECT_EQ(1, plain.exit_code);
  EXPECT_EQ("error 0x120: I2C NACK (No Acknowledge)\n", plain.err);
  const Finished short_poll = Tool(sim.port_index, {"eeprom", "write", "--poll", "10", "--text", "third"});
  EXPECT_EQ(1, short_poll.exit_code);
  EXPECT_EQ("error 0x125: I2C Acknowledge Polling timeout occured\n", short_poll.err);
  const Finished polling = Tool(sim.port_index, {"-t", "5000", "eeprom", "write", "--poll", "4000", "--text", "fourth"});
  EXPECT_EQ(0, polling.exit_code) << polling.err;
  const Finished verify = Tool(sim.port_index, {"eeprom", "verify", "--text", "fourth"});
  EXPECT_EQ(0, verify.exit_code) << verify.err;
}

TEST(ToolEndToEnd, ConnectionLimitRefusesTheNextClient) {
  Simulator sim = StartSimulator({"--max-connections", "2"});
  ASSERT_TRUE(sim.process);
  int a = -1, b = -1, c = -1;
  ASSERT_EQ(0, I2COpenDeviceEx(&a, 100, sim.port_index, "127.0.0.1", 2000));
  ASSERT_EQ(0, I2COpenDeviceEx(&b, 100, sim.port_index, "127.0.0.1", 2000));
  EXPECT_EQ(KORVANE_CONNECTION_REFUSED, I2COpenDeviceEx(&c, 100, sim.port_index, "127.0.0.1", 2000));
  EXPECT_EQ(-1, c);
  const Finished refused = Tool(sim.port_index, {"info"});
  EXPECT_EQ(1, refused.exit_code);
  EXPECT_EQ("error 0x1: Open failed, maximum number of connections reached\n", refused.err);
  EXPECT_EQ(0, I2CCloseDevice(a));
  const Finished served = Tool(sim.port_index, {"status"});
  EXPECT_EQ(0, served.exit_code) << served.err;
  EXPECT_NE(std::string::npos, served.out.find("connections 2 of 2")) << served.out;
  EXPECT_EQ(0, I2CCloseDevice(b));
}

TEST(ToolEndToEnd, NoSimulatorMeansNotConnectedWithinTheTimeOut) {
  const Finished run = Tool(FreeIndex(), {"-t", "1000", "info"}, 20s);
  EXPECT_EQ(1, run.exit_code);
  EXPECT_EQ("error 0x30000: Not connected to TCP/IP partner\n", run.err);
  EXPECT_LT(run.took, 1000ms + 2s);
}

TEST(ToolEndToEnd, FaultOptionsGiveTheirErrors) {
  struct Case {
    std::vector<std::string> sim;
    std::vector<std::string> tool;
    std::vector<std::string> accepted;  // the stderr the tool may print
  };
  const Case cases[] = {
      {{"--refuse"}, {"info"}, {"error 0x1: Open failed, maximum number of connections reached\n"}},
      // The bus configuration at open is request 1; the information request is number 2.
      {{"--corrupt-every", "2"}, {"info"}, {"error 0xA0000: Korvane TCP/IP telegram has invalid CRC\n"}},
      {{"--drop-every", "2"}, {"-t", "300", "info"}, {"error 0x40000: TCP/IP timeout occured\n"}},
      {{"--delay-ms", "800"}, {"-t", "300", "info"}, {"error 0x40000: TCP/IP timeout occured\n"}},
      // Closed after the bus configuration: depending on how far the library's receive
      // thread got with the close, the request finds the connection closed, closing, or
      // still open and waits in vain.
      {{"--close-after", "2"},
       {"-t", "300", "info"},
       {"error 0x30000: Not connected to TCP/IP partner\n",
        "error 0x50000: TCP/IP request not allowed now, stack is intializing\n",
        "error 0x40000: TCP/IP timeout occured\n"}},
  };
  for (const Case& c : cases) {
    Simulator sim = StartSimulator(c.sim);
    ASSERT_TRUE(sim.process);
    const Finished run = Tool(sim.port_index, c.tool);
    EXPECT_EQ(1, run.exit_code) << c.sim[0];
    EXPECT_NE(c.accepted.end(), std::find(c.accepted.begin(), c.accepted.end(), run.err))
        << c.sim[0] << ": " << run.err;
  }
}

TEST(ToolEndToEnd, SimulatorKilledDuringATransferEndsTheToolCleanly) {
  // A 20 ms write cycle makes the 32 KiB write take about ten seconds.
  Simulator sim = StartSimulator({"-v", "--write-cycle-ms", "20"});
  ASSERT_TRUE(sim.process);
  const std::string image = TempPath("kill.bin");
  WriteFile(image, RandomBytes(32768, 7));
  ChildProcess tool({kTool, "-p", std::to_string(sim.port_index), "-t", "1000", "eeprom", "write", "-i", image});
  ASSERT_TRUE(sim.process->WaitForLine("EEPROM write with acknowledge polling:", 10s, true));
  sim.process->Signal(SIGKILL);
  const auto start = std::chrono::steady_clock::now();
  const auto code = tool.Wait(10s);
  std::remove(image.c_str());
  ASSERT_TRUE(code.has_value()) << "the tool hangs";
  EXPECT_EQ(1, *code);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms + 2s);
  const std::string err = tool.Err();
  EXPECT_TRUE(err == "error 0x40000: TCP/IP timeout occured\n" || err == "error 0x30000: Not connected to TCP/IP partner\n")
      << err;
}

TEST(ToolEndToEnd, KeepAliveClosesTheConnectionToAStoppedSimulator) {
  Simulator sim = StartSimulator({"-v", "--keep-alive", "200"});
  ASSERT_TRUE(sim.process);
  int handle = -1;
  ASSERT_EQ(0, I2COpenDeviceEx(&handle, 100, sim.port_index, "127.0.0.1", 300));
  // While both sides run, requests and confirmations go on for several intervals and the
  // connection stays.
  ASSERT_TRUE(sim.process->WaitForLine("<- id 6 cmd 0x810D keep-alive confirmation", 5s, true)) << sim.process->Err();
  ASSERT_EQ(0, I2CReset(handle));
  sim.process->Signal(SIGSTOP);
  // The library's supervision closes the connection after one interval of silence and a
  // disconnect handshake that nobody answers; calls meanwhile time out.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  int rc = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    rc = I2CReset(handle);
    if (rc == KORVANE_NOT_CONNECTED) break;
    // A call that starts while the supervision is closing the connection answers 0x50000.
    EXPECT_TRUE(rc == KORVANE_TIMEOUT || rc == KORVANE_NOT_ALLOWED_NOW) << std::hex << rc;
  }
  EXPECT_EQ(KORVANE_NOT_CONNECTED, rc);
  const auto start = std::chrono::steady_clock::now();
  unsigned char byte = 0;
  EXPECT_EQ(KORVANE_NOT_CONNECTED, I2CRead(handle, 0x90, &byte, 1));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);  // fails fast, no wait
  sim.process->Signal(SIGCONT);
  EXPECT_EQ(0, I2CCloseDevice(handle));
}

TEST(ToolEndToEnd, CommandsShowTheBusAndTheGateway) {
  Simulator sim = StartSimulator({});
  ASSERT_TRUE(sim.process);
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    std::string out;  // expected stdout, or its start when it ends in "..."
  };
  const Case cases[] = {
      {{"get", "0x48", "2"}, 0, "0x19 0x80\n"},
      {{"set", "0x48", "3", "0x50", "0"}, 0, "wrote 3 bytes to 0x48, reply value 3\n"},
      {{"get", "0x48", "2"}, 0, "0x50 0x00\n"},
      {{"--json", "get", "0x48", "3"}, 0, "{\"address\":72,\"data\":[80,0,80]}\n"},
      {{"gpio", "0x1234"}, 0, "inputs 0x00001234 outputs 0x00001234\n"},
      {{"gpio"}, 0, "inputs 0x00001234 outputs 0x00001234\n"},
      {{"eeprom", "write", "--cs", "1", "--mode", "8", "--offset", "0x0e", "--text", "page split"}, 0,
       "wrote 10 bytes at offset 0x000e in 1 block\n"},
      {{"seq", "01", "02a2010e", "01", "03a20a", "04"}, 0,
       "reply value 5, 10 result bytes: 0x70 0x61 0x67 0x65 0x20 0x73 0x70 0x6c 0x69 0x74\n"},
      {{"--json", "seq", "--size", "2", "0102a2010e0103a20a04"}, 0, "{\"reply_value\":5,\"result\":[112,97]}\n"},
      {{"raw", "send", "0x90", "1", "send", "0", "0", "start", "send", "0x91", "0", "get", "1", "get", "0", "stop"}, 0,
       "send 0x90 1: ok\nsend 0x00 0: ok\nstart: ok\nsend 0x91 0: ok\nget 1: 0x19\nget 0: 0x80\nstop: ok\n"},
      {{"dump", "0x51"}, 0, "00000000: ff ff ff ff ff ff ff ff ff ff ff ff ff ff 70 61  ..............pa\n..."},
      {{"info"}, 0, "record       01 00 26 20 01 00 10 03 a0 86 01 00 04 01 05 00 f8 ff 01 01\n..."},
      {{"status"}, 0, "korvane-gwsim: uptime ..."},
      {{"version"}, 0, "korvane-i2c 1.8.2.17\nKorvane I2C DLL V1.8-2.18\n"},
      {{"error", "0xC0100"}, 0, "0xC0100: Korvane TCP/IP telegram confirmation is invalid\n"},
      {{"get", "0x22"}, 1, ""},
      {{"--json", "get", "0x22"}, 1, "{\"error\":{\"code\":288,\"text\":\"I2C NACK (No Acknowledge)\"}}\n"},
      {{"seq", "0x1"}, 2, ""},
      {{"seq", "zz"}, 2, ""},
      {{"set", "0x48", "256"}, 2, ""},
      {{"raw", "get", "0"}, 1, ""},
      {{"get"}, 2, ""},
      {{"eeprom", "erase"}, 2, ""},
      {{"-p", "100", "info"}, 2, ""},
  };
  for (const Case& c : cases) {
    const Finished run = Tool(sim.port_index, c.args);
    const std::string what = c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : "");
    EXPECT_EQ(c.exit_code, run.exit_code) << what << ": " << run.err;
    if (c.out.size() >= 3 && c.out.compare(c.out.size() - 3, 3, "...") == 0) {
      EXPECT_EQ(0u, run.out.rfind(c.out.substr(0, c.out.size() - 3), 0)) << what << ": " << run.out;
    } else {
      EXPECT_EQ(c.out, run.out) << what;
    }
  }
  EXPECT_EQ("error 0x120: I2C NACK (No Acknowledge)\n", Tool(sim.port_index, {"get", "0x22"}).err);
}

TEST(ToolEndToEnd, SimulatorStopsCleanlyOnSigtermAfterDisconnectingItsClients) {
  Simulator sim = StartSimulator({"-v"});
  ASSERT_TRUE(sim.process);
  int handle = -1;
  ASSERT_EQ(0, I2COpenDeviceEx(&handle, 100, sim.port_index, "127.0.0.1", 1000));
  const auto start = std::chrono::steady_clock::now();
  sim.process->Signal(SIGTERM);
  const auto code = sim.process->Wait(5s);
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(0, *code);
  // The client confirmed at once, so the simulator did not wait out its grace second.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
  // The gateway's disconnect request went out and the library confirmed it.
  const std::string log = sim.process->Err();
  EXPECT_NE(std::string::npos, log.find("-> id 0 cmd 0x0102 disconnect: 05 00 02 01 00 00 03")) << log;
  EXPECT_NE(std::string::npos, log.find("<- id 0 cmd 0x8102 disconnect confirmation: 06 00 02 81 00 00 00 83")) << log;
  // The library closes right after its confirmation; from then on the handle is not connected.
  const auto deadline = std::chrono::steady_clock::now() + 3s;
  int rc = 0;
  do {
    rc = I2CReset(handle);
  } while (rc != KORVANE_NOT_CONNECTED && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(KORVANE_NOT_CONNECTED, rc);
  EXPECT_EQ(0, I2CCloseDevice(handle));  // the close succeeds whatever the disconnect gave
}

}  // namespace
}  // namespace korvane::e2e
