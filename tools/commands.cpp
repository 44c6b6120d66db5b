#include "commands.h"

#include <KorvaneI2C.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <functional>
#include <vector>

#include "format.h"
#include "progress.h"

namespace korvane::tool {

const char kUsage[] =
    "usage: korvane-i2c [-H HOST] [-p PORT_INDEX] [-b BITRATE] [-t TIMEOUT_MS] [--json] COMMAND [ARGS]\n"
    "\n"
    "  -H HOST        gateway host name or address (default 127.0.0.1)\n"
    "  -p PORT_INDEX  gateway port index 0-99, port 5000 + 100 * index (default 0)\n"
    "  -b BITRATE     bus bit rate; 100 and 400 mean kHz (default 100)\n"
    "  -t TIMEOUT_MS  time-out of every request (default 1000)\n"
    "  --json         machine-readable output\n"
    "\n"
    "commands (ADDR is a 7-bit address):\n"
    "  detect [-r|-w]             grid of the addresses that answer; probe by reading one byte (-r)\n"
    "                             or by a zero-length write (-w); default: read at 0x30-0x37 and\n"
    "                             0x50-0x5f, write elsewhere\n"
    "  get ADDR [COUNT]           read COUNT bytes (default 1)\n"
    "  set ADDR BYTE...           write the bytes\n"
    "  dump ADDR [-a N]           set the address pointer with N zero bytes (default 1, 0 for none)\n"
    "                             and show 256 bytes in hex and ASCII\n"
    "  eeprom read|write|verify [--cs N] [--mode M] [--offset N] [--length N]\n"
    "                             [-i FILE | --text TEXT] [-o FILE] [--poll N] [--block N]\n"
    "                             serial EEPROM in blocks (default 1024 bytes); writes poll for\n"
    "                             the acknowledge up to N (default 100; 0: plain write); read\n"
    "                             without -o shows a hex dump; default length 256 for read\n"
    "  gpio [VALUE]               read the digital lines, or set the outputs and read them\n"
    "  info                       device information record\n"
    "  status                     status text of the gateway\n"
    "  seq [--size N] HEX...      run a command sequence; N result bytes at most (default 256)\n"
    "  raw STEP...                raw bus steps in order: start | send A B | get V | stop\n"
    "  version                    versions of the tool and the library\n"
    "  error CODE                 text of a result code\n";

std::string ErrorText(int code) {
  char text[256];
  I2CErrorMessage(code, text, static_cast<int>(sizeof text));
  return text;
}

std::string ErrorLine(int code) {
  char head[32];
  std::snprintf(head, sizeof head, "error 0x%X: ", static_cast<unsigned>(code));
  return head + ErrorText(code);
}

namespace {

void Check(int code) {
  if (code != KORVANE_OK) throw DeviceError{code};
}

// One open device for the length of a command.
class Device {
 public:
  explicit Device(const Globals& g) {
    Check(I2COpenDeviceEx(&handle_, g.bitrate, g.port_index, g.host.c_str(), g.timeout_ms));
  }
  ~Device() { I2CCloseDevice(handle_); }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  int Handle() const { return handle_; }

 private:
  int handle_ = -1;
};

int Address7(const std::string& text) { return static_cast<int>(ParseNumber(text, 0, 0x7F, "address")); }

void NoMoreArgs(ArgList& args) {
  if (!args.Empty()) throw UsageError("unexpected argument '" + args.Peek() + "'");
}

// --- bus commands -------------------------------------------------------------------------

void Detect(const Globals& g, ArgList& args) {
  char mode = 'a';
  while (!args.Empty()) {
    const std::string opt = args.Take("option");
    if (opt == "-r" || opt == "-w") {
      mode = opt[1];
    } else {
      throw UsageError("detect takes -r or -w, not '" + opt + "'");
    }
  }
  constexpr int kFirst = 0x08, kLast = 0x77;  // the reserved addresses stay untouched
  Device device(g);
  std::vector<int> found;
  unsigned char byte = 0;
  for (int a = kFirst; a <= kLast; ++a) {
    const bool read = mode == 'r' || (mode == 'a' && ((a >= 0x30 && a <= 0x37) || (a >= 0x50 && a <= 0x5F)));
    const int rc = read ? I2CRead(device.Handle(), a << 1, &byte, 1)
                        : I2CWrite(device.Handle(), a << 1, &byte, 0, nullptr);
    if (rc == KORVANE_OK) {
      found.push_back(a);
    } else if (rc != KORVANE_I2C_NACK) {
      throw DeviceError{rc};
    }
  }
  if (g.json) {
    std::string list;
    for (const int a : found) list += (list.empty() ? "" : ",") + std::to_string(a);
    std::printf("{\"devices\":[%s]}\n", list.c_str());
  } else {
    std::fputs(DetectGrid(found, kFirst, kLast).c_str(), stdout);
  }
}

void Get(const Globals& g, ArgList& args) {
  const int address = Address7(args.Take("address"));
  const int count = args.Empty() ? 1 : static_cast<int>(ParseNumber(args.Take("count"), 1, 65529, "count"));
  NoMoreArgs(args);
  Device device(g);
  std::vector<uint8_t> data(static_cast<std::size_t>(count));
  Check(I2CRead(device.Handle(), address << 1, data.data(), count));
  if (g.json) {
    std::printf("{\"address\":%d,\"data\":%s}\n", address, JsonBytes(data).c_str());
  } else {
    std::printf("%s\n", HexList(data).c_str());
  }
}

void Set(const Globals& g, ArgList& args) {
  const int address = Address7(args.Take("address"));
  std::vector<uint8_t> data;
  for (const auto& word : args.Rest()) data.push_back(static_cast<uint8_t>(ParseNumber(word, 0, 255, "byte")));
  if (data.empty()) throw UsageError("missing bytes to write");
  Device device(g);
  int reply_value = 0;
  Check(I2CWrite(device.Handle(), address << 1, data.data(), static_cast<int>(data.size()), &reply_value));
  if (g.json) {
    std::printf("{\"address\":%d,\"written\":%zu,\"reply_value\":%d}\n", address, data.size(), reply_value);
  } else {
    std::printf("wrote %zu byte%s to %s, reply value %d\n", data.size(), data.size() == 1 ? "" : "s",
                Hex(address).c_str(), reply_value);
  }
}

void Dump(const Globals& g, ArgList& args) {
  const int address = Address7(args.Take("address"));
  int pointer_bytes = 1;
  while (!args.Empty()) {
    const std::string opt = args.Take("option");
    if (opt != "-a") throw UsageError("dump takes -a N, not '" + opt + "'");
    pointer_bytes = static_cast<int>(ParseNumber(args.Take("-a value"), 0, 2, "-a"));
  }
  Device device(g);
  if (pointer_bytes > 0) {
    const unsigned char zeros[2] = {0, 0};
    Check(I2CWrite(device.Handle(), address << 1, zeros, pointer_bytes, nullptr));
  }
  std::vector<uint8_t> data(256);
  Check(I2CRead(device.Handle(), address << 1, data.data(), static_cast<int>(data.size())));
  if (g.json) {
    std::printf("{\"address\":%d,\"data\":%s}\n", address, JsonBytes(data).c_str());
  } else {
    std::fputs(HexDump(data, 0).c_str(), stdout);
  }
}

// --- EEPROM -------------------------------------------------------------------------------

struct EepromArgs {
  unsigned chip_select = 0;
  int mode = 0;
  unsigned offset = 0;
  long long length = -1;
  std::string input, output, text;
  bool has_text = false;
  int poll = 100;
  int block = 1024;
};

EepromArgs ParseEepromArgs(ArgList& args) {
  EepromArgs e;
  while (!args.Empty()) {
    const std::string opt = args.Take("option");
    auto value = [&] { return args.Take(opt + " value"); };
    if (opt == "--cs") {
      e.chip_select = static_cast<unsigned>(ParseNumber(value(), 0, 0xFFFFFFFFll, opt));
    } else if (opt == "--mode") {
      e.mode = static_cast<int>(ParseNumber(value(), 0, 0xFFFF, opt));
    } else if (opt == "--offset") {
      e.offset = static_cast<unsigned>(ParseNumber(value(), 0, 0xFFFFFFFFll, opt));
    } else if (opt == "--length") {
      e.length = ParseNumber(value(), 0, 1ll << 24, opt);
    } else if (opt == "-i") {
      e.input = value();
    } else if (opt == "-o") {
      e.output = value();
    } else if (opt == "--text") {
      e.text = value();
      e.has_text = true;
    } else if (opt == "--poll") {
      e.poll = static_cast<int>(ParseNumber(value(), 0, 0xFFFF, opt));
    } else if (opt == "--block") {
      e.block = static_cast<int>(ParseNumber(value(), 1, 65000, opt));
    } else {
      throw UsageError("unknown eeprom option '" + opt + "'");
    }
  }
  return e;
}

// The bytes to write or verify: from -i FILE ("-" for stdin) or --text, cut to --length.
std::vector<uint8_t> EepromInput(const EepromArgs& e) {
  std::vector<uint8_t> data;
  if (e.has_text == !e.input.empty()) throw UsageError("give the data with exactly one of -i FILE and --text TEXT");
  if (e.has_text) {
    data.assign(e.text.begin(), e.text.end());
  } else if (e.input == "-") {
    data.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(e.input, std::ios::binary);
    if (!in) throw UsageError("cannot read " + e.input);
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (e.length >= 0) {
    if (static_cast<std::size_t>(e.length) > data.size()) throw UsageError("--length is longer than the data");
    data.resize(static_cast<std::size_t>(e.length));
  }
  return data;
}

std::vector<uint8_t> EepromReadBlocks(const Device& device, const EepromArgs& e, std::size_t length,
                                      const char* what) {
  std::vector<uint8_t> data(length);
  Progress progress(what, length, static_cast<std::size_t>(e.block));
  for (std::size_t done = 0; done < length;) {
    const std::size_t n = std::min(length - done, static_cast<std::size_t>(e.block));
    Check(I2CReadEEProm(device.Handle(), e.chip_select, e.offset + static_cast<unsigned>(done), data.data() + done,
                        static_cast<int>(n), e.mode));
    done += n;
    progress.Update(done);
  }
  progress.Finish();
  return data;
}

void Eeprom(const Globals& g, ArgList& args) {
  const std::string action = args.Take("eeprom action (read, write or verify)");
  const EepromArgs e = ParseEepromArgs(args);
  if (action == "read") {
    if (!e.input.empty() || e.has_text) throw UsageError("eeprom read takes no input");
    const std::size_t length = e.length >= 0 ? static_cast<std::size_t>(e.length) : 256;
    Device device(g);
    const std::vector<uint8_t> data = EepromReadBlocks(device, e, length, "read");
    if (!e.output.empty()) {
      std::ofstream out(e.output, std::ios::binary);
      out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
      if (!out) throw CheckFailed{"cannot write " + e.output};
    }
    if (g.json) {
      std::printf("{\"offset\":%u,\"length\":%zu,\"data\":%s}\n", e.offset, data.size(), HexString(data).c_str());
    } else if (e.output.empty()) {
      std::fputs(HexDump(data, e.offset).c_str(), stdout);
    } else {
      std::printf("read %zu bytes from offset %s into %s\n", data.size(), Hex(e.offset, 4).c_str(), e.output.c_str());
    }
  } else if (action == "write") {
    const std::vector<uint8_t> data = EepromInput(e);
    Device device(g);
    Progress progress("write", data.size(), static_cast<std::size_t>(e.block));
    std::size_t blocks = 0;
    for (std::size_t done = 0; done < data.size(); ++blocks) {
      const std::size_t n = std::min(data.size() - done, static_cast<std::size_t>(e.block));
      const unsigned at = e.offset + static_cast<unsigned>(done);
      Check(e.poll > 0 ? I2CWriteEEPromPollAck(device.Handle(), e.chip_select, at, data.data() + done,
                                               static_cast<int>(n), e.mode, e.poll)
                       : I2CWriteEEProm(device.Handle(), e.chip_select, at, data.data() + done,
                                        static_cast<int>(n), e.mode));
      done += n;
      progress.Update(done);
    }
    progress.Finish();
    if (g.json) {
      std::printf("{\"offset\":%u,\"length\":%zu,\"blocks\":%zu}\n", e.offset, data.size(), blocks);
    } else {
      std::printf("wrote %zu bytes at offset %s in %zu block%s\n", data.size(), Hex(e.offset, 4).c_str(), blocks,
                  blocks == 1 ? "" : "s");
    }
  } else if (action == "verify") {
    const std::vector<uint8_t> expected = EepromInput(e);
    Device device(g);
    const std::vector<uint8_t> actual = EepromReadBlocks(device, e, expected.size(), "verify");
    std::size_t differ = 0, first = 0;
    for (std::size_t i = expected.size(); i-- > 0;) {
      if (expected[i] != actual[i]) {
        ++differ;
        first = i;
      }
    }
    if (differ != 0) {
      throw CheckFailed{std::to_string(differ) + " of " + std::to_string(expected.size()) +
                        " bytes differ, the first at offset " + Hex(e.offset + first, 4) + ": expected " +
                        Hex(expected[first]) + ", read " + Hex(actual[first])};
    }
    if (g.json) {
      std::printf("{\"offset\":%u,\"length\":%zu,\"identical\":true}\n", e.offset, expected.size());
    } else {
      std::printf("verified %zu bytes at offset %s: identical\n", expected.size(), Hex(e.offset, 4).c_str());
    }
  } else {
    throw UsageError("eeprom action must be read, write or verify, not '" + action + "'");
  }
}

// --- gateway features ---------------------------------------------------------------------

void Gpio(const Globals& g, ArgList& args) {
  const bool set = !args.Empty();
  int value = 0;
  if (set) value = static_cast<int>(static_cast<uint32_t>(ParseNumber(args.Take("value"), -0x80000000ll, 0xFFFFFFFFll, "value")));
  NoMoreArgs(args);
  Device device(g);
  if (set) Check(I2CWriteDigital(device.Handle(), value));
  int inputs = 0, outputs = 0;
  Check(I2CReadDigital(device.Handle(), &inputs, &outputs));
  if (g.json) {
    std::printf("{\"inputs\":%u,\"outputs\":%u}\n", static_cast<unsigned>(inputs), static_cast<unsigned>(outputs));
  } else {
    std::printf("inputs %s outputs %s\n", Hex(inputs, 8).c_str(), Hex(outputs, 8).c_str());
  }
}

void Info(const Globals& g, ArgList& args) {
  NoMoreArgs(args);
  Device device(g);
  std::vector<uint8_t> record(KORVANE_DEVICE_INFO_SIZE);
  Check(DeviceInfo(device.Handle(), record.data()));
  auto le16 = [&](int at) { return record[at] | record[at + 1] << 8; };
  auto le32 = [&](int at) { return static_cast<unsigned>(le16(at)) | static_cast<unsigned>(le16(at + 2)) << 16; };
  // Bytes 0-17 and 19 are laid out by the gateway; byte 19 = 1 marks the simulator's layout.
  const bool known = record[19] == 1;
  if (g.json) {
    std::printf("{\"record\":%s", HexString(record).c_str());
    if (known) {
      std::printf(",\"serial\":%u,\"firmware\":\"%d.%d\",\"lines\":%d,\"devices\":%d,\"bitrate\":%u,"
                  "\"max_connections\":%d,\"connections\":%d,\"write_cycle_ms\":%d,\"max_payload\":%d,"
                  "\"device_kind\":%d",
                  le32(0), record[4], record[5], record[6], record[7], le32(8), record[12], record[13], le16(14),
                  le16(16), record[18]);
    }
    std::printf("}\n");
    return;
  }
  std::string hex;
  for (const uint8_t b : record) hex += (hex.empty() ? "" : " ") + Hex(b).substr(2);
  std::printf("record       %s\n", hex.c_str());
  if (!known) return;
  std::printf("serial       %s\n", Hex(le32(0), 8).c_str());
  std::printf("firmware     %d.%d\n", record[4], record[5]);
  std::printf("lines        %d\n", record[6]);
  std::printf("devices      %d\n", record[7]);
  std::printf("bit rate     %u bit/s\n", le32(8));
  std::printf("connections  %d of %d\n", record[13], record[12]);
  std::printf("write cycle  %d ms\n", le16(14));
  std::printf("max payload  %d bytes\n", le16(16));
  std::printf("device kind  %d\n", record[18]);
}

void Status(const Globals& g, ArgList& args) {
  NoMoreArgs(args);
  Device device(g);
  char text[1024];
  const int n = DeviceStatus(device.Handle(), text, static_cast<int>(sizeof text));
  // The export reports no code; a failed request and an empty text both give 1.
  if (n <= 1) throw CheckFailed{"error: the gateway gave no status text"};
  if (g.json) {
    std::printf("{\"status\":%s}\n", JsonString(text).c_str());
  } else {
    std::printf("%s\n", text);
  }
}

void Sequence(const Globals& g, ArgList& args) {
  int size = 256;
  if (!args.Empty() && args.Peek() == "--size") {
    args.Take("--size");
    size = static_cast<int>(ParseNumber(args.Take("--size value"), 0, 65535, "--size"));
  }
  const std::vector<uint8_t> sequence = ParseHexBytes(args.Rest());
  if (sequence.empty()) throw UsageError("missing sequence bytes");
  Device device(g);
  std::vector<uint8_t> result(static_cast<std::size_t>(size));
  int count = 0, reply_value = 0;
  Check(I2CSequence(device.Handle(), sequence.data(), static_cast<int>(sequence.size()), result.data(), size, &count,
                    &reply_value));
  result.resize(static_cast<std::size_t>(count));
  if (g.json) {
    std::printf("{\"reply_value\":%d,\"result\":%s}\n", reply_value, JsonBytes(result).c_str());
  } else {
    std::printf("reply value %d, %d result byte%s%s%s\n", reply_value, count, count == 1 ? "" : "s",
                count ? ": " : "", HexList(result).c_str());
  }
}

void Raw(const Globals& g, ArgList& args) {
  if (args.Empty()) throw UsageError("missing raw steps (start, send A B, get V, stop)");
  struct Step {
    std::string name;
    int a = 0, b = 0;
  };
  std::vector<Step> steps;
  while (!args.Empty()) {
    Step s{args.Take("step")};
    if (s.name == "send") {
      s.a = static_cast<int>(ParseNumber(args.Take("send byte"), 0, 255, "send byte"));
      s.b = static_cast<int>(ParseNumber(args.Take("send flags"), 0, 255, "send flags"));
    } else if (s.name == "get") {
      s.a = static_cast<int>(ParseNumber(args.Take("get value"), 0, 255, "get value"));
    } else if (s.name != "start" && s.name != "stop") {
      throw UsageError("raw step must be start, send A B, get V or stop, not '" + s.name + "'");
    }
    steps.push_back(s);
  }
  Device device(g);
  std::string json;
  for (const Step& s : steps) {
    std::string line = s.name;
    if (s.name == "start") {
      Check(I2CRAWStart(device.Handle()));
      line += ": ok";
    } else if (s.name == "stop") {
      Check(I2CRAWStop(device.Handle()));
      line += ": ok";
    } else if (s.name == "send") {
      Check(I2CRAWSend(device.Handle(), s.a, s.b));
      line += " " + Hex(s.a) + " " + std::to_string(s.b) + ": ok";
    } else {
      char byte = 0;
      Check(I2CRAWGet(device.Handle(), s.a, &byte));
      line += " " + std::to_string(s.a) + ": " + Hex(static_cast<uint8_t>(byte));
      json += std::string(json.empty() ? "" : ",") + std::to_string(static_cast<uint8_t>(byte));
    }
    if (!g.json) std::printf("%s\n", line.c_str());
  }
  if (g.json) std::printf("{\"steps\":%zu,\"bytes\":[%s]}\n", steps.size(), json.c_str());
}

// --- no device ----------------------------------------------------------------------------

void Version(const Globals& g, ArgList& args) {
  NoMoreArgs(args);
  char text[64];
  DLLInfo(text, static_cast<int>(sizeof text));
  if (g.json) {
    std::printf("{\"tool\":%s,\"library\":%s}\n", JsonString(KORVANE_TOOL_VERSION).c_str(), JsonString(text).c_str());
  } else {
    std::printf("korvane-i2c %s\n%s\n", KORVANE_TOOL_VERSION, text);
  }
}

void Error(const Globals& g, ArgList& args) {
  const long long value = ParseNumber(args.Take("code"), -0x80000000ll, 0xFFFFFFFFll, "code");
  NoMoreArgs(args);
  const int code = static_cast<int>(static_cast<uint32_t>(value));
  if (g.json) {
    std::printf("{\"code\":%d,\"text\":%s}\n", code, JsonString(ErrorText(code)).c_str());
  } else {
    std::printf("0x%X: %s\n", static_cast<unsigned>(code), ErrorText(code).c_str());
  }
}

}  // namespace

void RunCommand(const Globals& globals, const std::string& command, ArgList& args) {
  static const std::map<std::string, std::function<void(const Globals&, ArgList&)>> commands = {
      {"detect", Detect}, {"get", Get},   {"set", Set},       {"dump", Dump}, {"eeprom", Eeprom},
      {"gpio", Gpio},     {"info", Info}, {"status", Status}, {"seq", Sequence}, {"raw", Raw},
      {"version", Version}, {"error", Error}};
  const auto it = commands.find(command);
  if (it == commands.end()) throw UsageError("unknown command '" + command + "'");
  it->second(globals, args);
}

}  // namespace korvane::tool
