// Loads a Korvane DLL the way a Windows host does and checks it from outside, under Wine:
//   dll_test DLL                          exports, version resource, calling convention, texts
//   dll_test DLL --gateway HOST INDEX     the same, then a session with the gateway simulator
//   dll_test DLL --unload-open HOST INDEX opens a device and unloads the DLL with it open
//   dll_test DLL --exit-open HOST INDEX   opens a device and ends the process with it open
// The functions are taken from the DLL by name (decorated names for the callee-cleans build)
// and by ordinal; the pointer types come from the public header, so they carry the
// build's calling convention.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KorvaneI2C.h"
#include "test_harness.h"

namespace {

#if defined(KORVANE_TEST_VARIANT_VB6)
constexpr bool kDecorated = true;
constexpr bool kCalleeCleans = true;
constexpr const char* kDllName = "KorvaneI2CVB6";
#elif defined(KORVANE_TEST_VARIANT_32)
constexpr bool kDecorated = false;
constexpr bool kCalleeCleans = false;
constexpr const char* kDllName = "KorvaneI2C";
#else
constexpr bool kDecorated = false;
constexpr bool kCalleeCleans = false;
constexpr const char* kDllName = "KorvaneI2C64";
#endif

struct Export {
  int ordinal;
  const char* plain;
  const char* decorated;
};

// Ordinals 1-20 in the byte-wise order of the plain names.
const Export kExports[] = {
    {1, "DLLInfo", "_DLLInfo@8"},
    {2, "DeviceInfo", "_DeviceInfo@8"},
    {3, "DeviceStatus", "_DeviceStatus@12"},
    {4, "I2CCloseDevice", "_I2CCloseDevice@4"},
    {5, "I2CErrorMessage", "_I2CErrorMessage@12"},
    {6, "I2COpenDevice", "_I2COpenDevice@16"},
    {7, "I2COpenDeviceEx", "_I2COpenDeviceEx@20"},
    {8, "I2CRAWGet", "_I2CRAWGet@12"},
    {9, "I2CRAWSend", "_I2CRAWSend@12"},
    {10, "I2CRAWStart", "_I2CRAWStart@4"},
    {11, "I2CRAWStop", "_I2CRAWStop@4"},
    {12, "I2CRead", "_I2CRead@16"},
    {13, "I2CReadDigital", "_I2CReadDigital@12"},
    {14, "I2CReadEEProm", "_I2CReadEEProm@24"},
    {15, "I2CReset", "_I2CReset@4"},
    {16, "I2CSequence", "_I2CSequence@28"},
    {17, "I2CWrite", "_I2CWrite@20"},
    {18, "I2CWriteDigital", "_I2CWriteDigital@8"},
    {19, "I2CWriteEEProm", "_I2CWriteEEProm@24"},
    {20, "I2CWriteEEPromPollAck", "_I2CWriteEEPromPollAck@28"},
};
constexpr int kExportCount = sizeof kExports / sizeof kExports[0];

const char* NameOf(const Export& e) { return kDecorated ? e.decorated : e.plain; }

// The 20 functions, in ordinal order.
struct Api {
  decltype(&DLLInfo) dll_info;
  decltype(&DeviceInfo) device_info;
  decltype(&DeviceStatus) device_status;
  decltype(&I2CCloseDevice) close_device;
  decltype(&I2CErrorMessage) error_message;
  decltype(&I2COpenDevice) open_device;
  decltype(&I2COpenDeviceEx) open_device_ex;
  decltype(&I2CRAWGet) raw_get;
  decltype(&I2CRAWSend) raw_send;
  decltype(&I2CRAWStart) raw_start;
  decltype(&I2CRAWStop) raw_stop;
  decltype(&I2CRead) read;
  decltype(&I2CReadDigital) read_digital;
  decltype(&I2CReadEEProm) read_eeprom;
  decltype(&I2CReset) reset;
  decltype(&I2CSequence) sequence;
  decltype(&I2CWrite) write;
  decltype(&I2CWriteDigital) write_digital;
  decltype(&I2CWriteEEProm) write_eeprom;
  decltype(&I2CWriteEEPromPollAck) write_eeprom_poll_ack;
};
static_assert(sizeof(Api) == kExportCount * sizeof(void*), "one pointer per export");

FARPROC Lookup(HMODULE dll, const Export& e, bool by_ordinal) {
  return by_ordinal ? GetProcAddress(dll, MAKEINTRESOURCEA(e.ordinal)) : GetProcAddress(dll, NameOf(e));
}

// Fills api from dll; false when a function is missing.
bool Bind(HMODULE dll, bool by_ordinal, Api* api) {
  void* slots[kExportCount];
  for (int i = 0; i < kExportCount; ++i) {
    slots[i] = reinterpret_cast<void*>(Lookup(dll, kExports[i], by_ordinal));
    if (slots[i] == nullptr) return false;
  }
  std::memcpy(static_cast<void*>(api), slots, sizeof slots);
  return true;
}

std::string g_dll_path;
HMODULE g_dll = nullptr;
Api g_by_name{};
Api g_by_ordinal{};

constexpr int kInvalidHandle = KORVANE_INVALID_HANDLE;

// ---- checks that need no gateway

void ExportsByNameAndOrdinal() {
  for (const Export& e : kExports) {
    const FARPROC by_name = Lookup(g_dll, e, false);
    const FARPROC by_ordinal = Lookup(g_dll, e, true);
    if (!KCHECK(by_name != nullptr)) std::printf("  %s missing\n", NameOf(e));
    if (!KCHECK(by_name == by_ordinal)) std::printf("  ordinal %d is not %s\n", e.ordinal, NameOf(e));
    // The other naming scheme must not be there: hosts would bind the wrong convention.
    const char* other = kDecorated ? e.plain : e.decorated;
    if (!KCHECK(GetProcAddress(g_dll, other) == nullptr)) std::printf("  unexpected export %s\n", other);
  }
  KCHECK(GetProcAddress(g_dll, MAKEINTRESOURCEA(0)) == nullptr);
  KCHECK(GetProcAddress(g_dll, MAKEINTRESOURCEA(kExportCount + 1)) == nullptr);
}

void VersionResource() {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(g_dll_path.c_str(), &ignored);
  if (!KCHECK(size != 0)) return;
  std::string block(size, '\0');
  if (!KCHECK(GetFileVersionInfoA(g_dll_path.c_str(), 0, size, &block[0]))) return;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  if (!KCHECK(VerQueryValueA(&block[0], "\\", reinterpret_cast<void**>(&fixed), &fixed_size) && fixed != nullptr))
    return;
  KCHECK_EQ(fixed->dwSignature, 0xFEEF04BD);
  KCHECK_EQ(fixed->dwFileVersionMS, (1u << 16) | 8u);
  KCHECK_EQ(fixed->dwFileVersionLS, (2u << 16) | 17u);
  KCHECK_EQ(fixed->dwProductVersionMS, (1u << 16) | 8u);
  KCHECK_EQ(fixed->dwProductVersionLS, (2u << 16) | 17u);
  KCHECK_EQ(fixed->dwFileType, VFT_DLL);
  struct {
    const char* key;
    std::string expected;
  } strings[] = {
      {"FileVersion", "1.8.2.17"},
      {"ProductVersion", "1.8.2.17"},
      {"OriginalFilename", std::string(kDllName) + ".dll"},
  };
  for (const auto& s : strings) {
    char* value = nullptr;
    UINT length = 0;
    const std::string path = std::string("\\StringFileInfo\\040904B0\\") + s.key;
    KCHECK(VerQueryValueA(&block[0], path.c_str(), reinterpret_cast<void**>(&value), &length));
    KCHECK_STR(value, s.expected.c_str());
  }
}

void VersionAndErrorTexts() {
  const Api& api = g_by_name;
  char buf[128];
  KCHECK_EQ(api.dll_info(buf, sizeof buf), 26);
  KCHECK_STR(buf, "Korvane I2C DLL V1.8-2.18");
  std::memset(buf, 'x', sizeof buf);
  KCHECK_EQ(api.dll_info(buf, 10), 10);
  KCHECK_STR(buf, "Korvane I");
  KCHECK_EQ(api.dll_info(buf, 1), 1);
  KCHECK_STR(buf, "");
  KCHECK_EQ(api.dll_info(buf, 0), 0);
  KCHECK_EQ(api.dll_info(nullptr, 64), 0);

  struct {
    int code;
    const char* text;
  } texts[] = {
      {0, "no error"},
      {0x120, "I2C NACK (No Acknowledge)"},
      {0xC0100, "Korvane TCP/IP telegram confirmation is invalid"},
      {0x1FF, "Korvane command failed"},
      {0x101, "Open failed, maximum number of connections reached"},
      {0x150, "Unknown error code: 80"},
      {-1, "Unknown error code: -65281"},
      {0x910000, "Device type invalid (handle is connected device type, which does not support called function"},
  };
  for (const auto& t : texts) {
    const int n = g_by_ordinal.error_message(t.code, buf, sizeof buf);
    KCHECK_STR(buf, t.text);
    KCHECK_EQ(n, static_cast<int>(std::strlen(t.text)) + 1);
  }
  KCHECK_EQ(api.error_message(0x120, nullptr, 10), 0);
  KCHECK_EQ(api.error_message(0x120, buf, -5), 0);
}

// Every handle-taking export refuses a handle that was never issued, called by ordinal.
void InvalidHandles() {
  const Api& api = g_by_ordinal;
  const int handles[] = {0, -1, 0x7FFFFF00};
  for (const int h : handles) {
    unsigned char buf[32] = {};
    char text[32] = "untouched";
    int a = 7;
    int b = 8;
    char byte = 'z';
    KCHECK_EQ(api.read(h, 0x90, buf, 2), kInvalidHandle);
    KCHECK_EQ(api.write(h, 0x90, buf, 2, &a), kInvalidHandle);
    KCHECK_EQ(api.read_eeprom(h, 0, 0, buf, 4, 0), kInvalidHandle);
    KCHECK_EQ(api.write_eeprom(h, 0, 0, buf, 4, 0), kInvalidHandle);
    KCHECK_EQ(api.write_eeprom_poll_ack(h, 0, 0, buf, 4, 0, 10), kInvalidHandle);
    KCHECK_EQ(api.reset(h), kInvalidHandle);
    KCHECK_EQ(api.read_digital(h, &a, &b), kInvalidHandle);
    KCHECK_EQ(api.write_digital(h, 1), kInvalidHandle);
    KCHECK_EQ(api.sequence(h, buf, 2, buf, 4, &a, &b), kInvalidHandle);
    KCHECK_EQ(api.raw_start(h), kInvalidHandle);
    KCHECK_EQ(api.raw_send(h, 0x90, 1), kInvalidHandle);
    KCHECK_EQ(api.raw_get(h, 1, &byte), kInvalidHandle);
    KCHECK_EQ(api.raw_stop(h), kInvalidHandle);
    KCHECK_EQ(api.close_device(h), kInvalidHandle);
    KCHECK_EQ(api.device_status(h, text, sizeof text), 1);
    KCHECK_STR(text, "untouched");
    std::memset(buf, 0xEE, sizeof buf);
    KCHECK_EQ(api.device_info(h, buf), kInvalidHandle);
    KCHECK_EQ(buf[0], 0);  // the record is cleared even for an invalid handle
    KCHECK(a == 7 && b == 8 && byte == 'z');
  }
  KCHECK_EQ(api.device_info(1, nullptr), KORVANE_INVALID_PARAMETER);
  int h = 1234;
  KCHECK_EQ(api.open_device_ex(&h, 100, 100, "127.0.0.1", 100), KORVANE_INVALID_PARAMETER);
  KCHECK_EQ(h, 1234);
}

#if defined(__i386__)
// Calls fn with count 32-bit arguments and reports how many argument bytes were still on the
// stack after it returned: 0 when the function removed them itself (callee-cleans), 4 per
// argument when it left them to the caller (C convention).
int CallAndMeasure(const void* fn, const uint32_t* args, int count, int* left_on_stack) {
  int result;
  int left;
  asm volatile(
      "movl %%esp, %%edi\n\t"
      "movl %[count], %%ecx\n\t"
      "1:\n\t"
      "testl %%ecx, %%ecx\n\t"
      "jz 2f\n\t"
      "pushl -4(%[args],%%ecx,4)\n\t"
      "decl %%ecx\n\t"
      "jmp 1b\n\t"
      "2:\n\t"
      "call *%[fn]\n\t"
      "movl %%edi, %%ecx\n\t"
      "subl %%esp, %%ecx\n\t"
      "movl %%edi, %%esp\n\t"
      : "=a"(result), "=&c"(left)
      : [fn] "b"(fn), [args] "S"(args), [count] "m"(count)
      : "edi", "edx", "memory", "cc");
  *left_on_stack = left;
  return result;
}

uint32_t Arg(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

// Calls every export with its true number of arguments and checks who removed them.
void CallingConvention() {
  static char text[64];
  static unsigned char buf[64];
  static int out_a;
  static int out_b;
  static int handle_var;
  const uint32_t bad = 0x7FFFFF00;
  struct Call {
    int ordinal;
    uint32_t args[7];
    int count;
    int expected;
  } calls[] = {
      {1, {Arg(text), 64}, 2, 26},
      {2, {bad, Arg(buf)}, 2, kInvalidHandle},
      {3, {bad, Arg(text), 64}, 3, 1},
      {4, {bad}, 1, kInvalidHandle},
      {5, {0x120, Arg(text), 64}, 3, 26},
      {6, {Arg(&handle_var), 100, 0, 100}, 4, KORVANE_INVALID_PARAMETER},  // a null host is refused at once
      {7, {Arg(&handle_var), 100, 100, Arg("127.0.0.1"), 100}, 5, KORVANE_INVALID_PARAMETER},
      {8, {bad, 1, Arg(text)}, 3, kInvalidHandle},
      {9, {bad, 0x90, 1}, 3, kInvalidHandle},
      {10, {bad}, 1, kInvalidHandle},
      {11, {bad}, 1, kInvalidHandle},
      {12, {bad, 0x90, Arg(buf), 2}, 4, kInvalidHandle},
      {13, {bad, Arg(&out_a), Arg(&out_b)}, 3, kInvalidHandle},
      {14, {bad, 0, 0, Arg(buf), 4, 0}, 6, kInvalidHandle},
      {15, {bad}, 1, kInvalidHandle},
      {16, {bad, Arg(buf), 2, Arg(buf), 4, Arg(&out_a), Arg(&out_b)}, 7, kInvalidHandle},
      {17, {bad, 0x90, Arg(buf), 2, Arg(&out_a)}, 5, kInvalidHandle},
      {18, {bad, 1}, 2, kInvalidHandle},
      {19, {bad, 0, 0, Arg(buf), 4, 0}, 6, kInvalidHandle},
      {20, {bad, 0, 0, Arg(buf), 4, 0, 10}, 7, kInvalidHandle},
  };
  for (const Call& c : calls) {
    const Export& e = kExports[c.ordinal - 1];
    // The decorated name states the argument bytes; the table must agree with it.
    KCHECK_EQ(std::atoi(std::strchr(e.decorated, '@') + 1), 4 * c.count);
    const void* fn = reinterpret_cast<const void*>(Lookup(g_dll, e, false));
    if (!KCHECK(fn != nullptr)) continue;
    int left = -1;
    const int rc = CallAndMeasure(fn, c.args, c.count, &left);
    if (!KCHECK_EQ(rc, c.expected)) std::printf("  from %s\n", e.plain);
    if (!KCHECK_EQ(left, kCalleeCleans ? 0 : 4 * c.count))
      std::printf("  %s left %d argument bytes on the stack\n", e.plain, left);
  }
}
#endif

// ---- with the gateway simulator

std::string g_host;
int g_port_index = 0;

void GatewaySession() {
  const Api& api = g_by_name;
  char text[256];
  int h = -5;
  const int open_rc = api.open_device_ex(&h, 100, g_port_index, g_host.c_str(), 3000);
  if (!KCHECK_EQ(open_rc, KORVANE_OK)) {
    api.error_message(open_rc, text, sizeof text);
    std::printf("  open: %s\n", text);
    return;
  }
  KCHECK(h >= 1);

  // Temperature sensor at 0x90 (8-bit address): register 3 written and read back, register 0
  // holds 25.5 degrees in 1/256 degrees.
  int reply = -1;
  const unsigned char set_limit[] = {0x03, 0x12, 0x34};
  KCHECK_EQ(api.write(h, 0x90, set_limit, 3, &reply), KORVANE_OK);
  KCHECK_EQ(reply, 3);
  const unsigned char point_at_0[] = {0x00};
  KCHECK_EQ(api.write(h, 0x90, point_at_0, 1, nullptr), KORVANE_OK);
  unsigned char data[8] = {};
  KCHECK_EQ(api.read(h, 0x90, data, 2), KORVANE_OK);
  KCHECK(data[0] == 0x19 && data[1] == 0x80);
  // Nobody answers at 0x20: the gateway's NACK comes back as a device code.
  const int nack = api.read(h, 0x20, data, 1);
  KCHECK_EQ(nack, KORVANE_I2C_NACK);
  api.error_message(nack, text, sizeof text);
  KCHECK_STR(text, "I2C NACK (No Acknowledge)");

  // EEPROM at 0xA0 (chip select 0, two address bytes): a plain write, then a polling write
  // across page boundaries that waits out the first one's write cycle, then both read back.
  unsigned char small[16];
  unsigned char big[100];
  for (int i = 0; i < 16; ++i) small[i] = static_cast<unsigned char>(0xF0 ^ i);
  for (int i = 0; i < 100; ++i) big[i] = static_cast<unsigned char>(i * 7 + 3);
  KCHECK_EQ(api.write_eeprom(h, 0, 0x0300, small, sizeof small, 0), KORVANE_OK);
  KCHECK_EQ(api.write_eeprom_poll_ack(h, 0, 0x01F0, big, sizeof big, 0, 100), KORVANE_OK);
  unsigned char back[100] = {};
  KCHECK_EQ(api.read_eeprom(h, 0, 0x01F0, back, sizeof back, 0), KORVANE_OK);
  KCHECK(std::memcmp(back, big, sizeof big) == 0);
  KCHECK_EQ(api.read_eeprom(h, 0, 0x0300, back, sizeof small, 0), KORVANE_OK);
  KCHECK(std::memcmp(back, small, sizeof small) == 0);

  // Digital lines: the inputs read back the outputs.
  KCHECK_EQ(api.write_digital(h, 0x5AC3), KORVANE_OK);
  int inputs = 0;
  int outputs = 0;
  KCHECK_EQ(api.read_digital(h, &inputs, &outputs), KORVANE_OK);
  KCHECK_EQ(inputs, 0x5AC3);
  KCHECK_EQ(outputs, 0x5AC3);
  KCHECK_EQ(api.read_digital(h, nullptr, nullptr), KORVANE_OK);

  // Device information and status.
  unsigned char info[KORVANE_DEVICE_INFO_SIZE];
  std::memset(info, 0xEE, sizeof info);
  KCHECK_EQ(api.device_info(h, info), KORVANE_OK);
  KCHECK_EQ(info[18], 1);  // device kind
  KCHECK_EQ(info[8] | info[9] << 8 | info[10] << 16 | info[11] << 24, 100000);  // the configured bit rate
  const int status_length = api.device_status(h, text, sizeof text);
  KCHECK_EQ(status_length, static_cast<int>(std::strlen(text)) + 1);
  KCHECK(std::strncmp(text, "korvane-gwsim: uptime", 21) == 0);
  KCHECK_EQ(api.device_status(h, text, 10), 10);
  KCHECK_EQ(std::strlen(text), 9u);

  // A sequence: point the sensor at register 3, repeated start, read it.
  const unsigned char sequence[] = {0x01, 0x02, 0x90, 0x01, 0x03, 0x01, 0x03, 0x90, 0x02, 0x04};
  unsigned char result[8] = {};
  int count = -1;
  int completed = -1;
  KCHECK_EQ(api.sequence(h, sequence, sizeof sequence, result, sizeof result, &count, &completed), KORVANE_OK);
  KCHECK_EQ(count, 2);
  KCHECK(result[0] == 0x12 && result[1] == 0x34);
  KCHECK_EQ(completed, 5);

  // The same register step by step.
  char b1 = 0;
  char b2 = 0;
  KCHECK_EQ(api.raw_start(h), KORVANE_OK);
  KCHECK_EQ(api.raw_send(h, 0x90, 0), KORVANE_OK);
  KCHECK_EQ(api.raw_send(h, 0x03, 0), KORVANE_OK);
  KCHECK_EQ(api.raw_send(h, 0x91, 1), KORVANE_OK);  // repeated start, read address
  KCHECK_EQ(api.raw_get(h, 1, &b1), KORVANE_OK);
  KCHECK_EQ(api.raw_get(h, 0, &b2), KORVANE_OK);
  KCHECK_EQ(api.raw_stop(h), KORVANE_OK);
  KCHECK(static_cast<unsigned char>(b1) == 0x12 && static_cast<unsigned char>(b2) == 0x34);

  KCHECK_EQ(api.reset(h), KORVANE_OK);

  // Close: once, then the handle is gone.
  KCHECK_EQ(api.close_device(h), KORVANE_OK);
  KCHECK_EQ(api.close_device(h), kInvalidHandle);
  KCHECK_EQ(api.read(h, 0x90, data, 1), kInvalidHandle);
  KCHECK_EQ(api.device_status(h, text, sizeof text), 1);

  // A second device on the same gateway gets the next handle.
  int h2 = -5;
  KCHECK_EQ(api.open_device_ex(&h2, 400, g_port_index, g_host.c_str(), 3000), KORVANE_OK);
  KCHECK(h2 > h);
  KCHECK_EQ(g_by_ordinal.close_device(h2), KORVANE_OK);
}

// Three host threads, each with a device of its own, at the same time: every request gets
// its own reply, whichever thread the DLL's receive threads wake.
struct Worker {
  int index = 0;
  int failures = 0;
  int requests = 0;
};

DWORD WINAPI DeviceWorker(void* raw) {
  auto* w = static_cast<Worker*>(raw);
  const Api& api = w->index % 2 == 0 ? g_by_name : g_by_ordinal;
  int h = -1;
  if (api.open_device_ex(&h, 100, g_port_index, g_host.c_str(), 5000) != KORVANE_OK) {
    ++w->failures;
    return 0;
  }
  // Requests whose answers differ, and that do not depend on what the other threads do on
  // the shared bus: a mixed-up reply shows as a wrong code or wrong data.
  const unsigned char read_temperature[] = {0x01, 0x02, 0x90, 0x01, 0x00, 0x01, 0x03, 0x90, 0x02, 0x04};
  for (int round = 0; round < 25; ++round) {
    unsigned char result[4] = {};
    int count = 0;
    if (api.sequence(h, read_temperature, sizeof read_temperature, result, sizeof result, &count, nullptr) !=
            KORVANE_OK ||
        count != 2 || result[0] != 0x19 || result[1] != 0x80)
      ++w->failures;
    unsigned char byte;
    if (api.read(h, 0x20, &byte, 1) != KORVANE_I2C_NACK) ++w->failures;
    unsigned char info[KORVANE_DEVICE_INFO_SIZE] = {};
    if (api.device_info(h, info) != KORVANE_OK || info[18] != 1 || info[6] != 16) ++w->failures;
    char text[32];
    if (api.dll_info(text, sizeof text) != 26) ++w->failures;
    w->requests += 3;
  }
  if (api.close_device(h) != KORVANE_OK) ++w->failures;
  return 0;
}

void ConcurrentDevices() {
  Worker workers[3];
  HANDLE threads[3];
  for (int i = 0; i < 3; ++i) {
    workers[i].index = i;
    threads[i] = CreateThread(nullptr, 0, &DeviceWorker, &workers[i], 0, nullptr);
    KCHECK(threads[i] != nullptr);
  }
  WaitForMultipleObjects(3, threads, TRUE, INFINITE);
  for (int i = 0; i < 3; ++i) {
    CloseHandle(threads[i]);
    if (!KCHECK_EQ(workers[i].failures, 0)) std::printf("  in worker %d\n", i);
    KCHECK_EQ(workers[i].requests, 75);
  }
}

HANDLE g_watchdog_running = CreateEventA(nullptr, TRUE, FALSE, nullptr);
HANDLE g_unload_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);

DWORD WINAPI Watchdog(void*) {
  SetEvent(g_watchdog_running);
  if (WaitForSingleObject(g_unload_done, 20000) == WAIT_TIMEOUT) {
    std::printf("FreeLibrary did not return within 20 s\n");
    TerminateProcess(GetCurrentProcess(), 3);
  }
  return 0;
}

// Opens a device and unloads the library while it is open. The loader runs the detach with
// its lock held; this must return, and the gateway should see the disconnect telegram.
int UnloadWithOpenHandle() {
  int h = -1;
  const int rc = g_by_name.open_device_ex(&h, 100, g_port_index, g_host.c_str(), 3000);
  if (rc != KORVANE_OK) {
    std::printf("open failed: 0x%X\n", static_cast<unsigned>(rc));
    return 1;
  }
  // A detach that hangs would hold the loader lock for ever; a watchdog thread ends the
  // process then (TerminateProcess needs no loader lock).
  HANDLE watchdog = CreateThread(nullptr, 0, &Watchdog, nullptr, 0, nullptr);
  // A thread that has not started yet would wait for the loader lock too.
  WaitForSingleObject(g_watchdog_running, INFINITE);
  LARGE_INTEGER f, t0, t1;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&t0);
  const BOOL freed = FreeLibrary(g_dll);
  QueryPerformanceCounter(&t1);
  SetEvent(g_unload_done);
  WaitForSingleObject(watchdog, INFINITE);
  g_dll = nullptr;
  const long long ms = (t1.QuadPart - t0.QuadPart) * 1000 / f.QuadPart;
  std::printf("FreeLibrary with handle %d open returned %d after %lld ms\n", h, freed, ms);
  // The module must really be gone, not kept by a thread of its own.
  const bool gone = GetModuleHandleA(g_dll_path.c_str()) == nullptr;
  std::printf("module %s\n", gone ? "unloaded" : "still loaded");
  if (!freed || !gone) return 1;

  // Loaded again, the library starts afresh: handles count from 1 and devices work.
  g_dll = LoadLibraryA(g_dll_path.c_str());
  Api again{};
  if (g_dll == nullptr || !Bind(g_dll, false, &again)) {
    std::printf("cannot load the library again\n");
    return 1;
  }
  int h2 = -1;
  const int reopen = again.open_device_ex(&h2, 100, g_port_index, g_host.c_str(), 3000);
  unsigned char info[KORVANE_DEVICE_INFO_SIZE];
  const int info_rc = reopen == KORVANE_OK ? again.device_info(h2, info) : reopen;
  const int close_rc = reopen == KORVANE_OK ? again.close_device(h2) : reopen;
  std::printf("reloaded: open 0x%X handle %d, info 0x%X, close 0x%X\n", static_cast<unsigned>(reopen), h2,
              static_cast<unsigned>(info_rc), static_cast<unsigned>(close_rc));
  FreeLibrary(g_dll);
  return reopen == KORVANE_OK && h2 == 1 && info_rc == KORVANE_OK && close_rc == KORVANE_OK ? 0 : 1;
}

// Opens a device and ends the process without closing it. ExitProcess ends the library's
// threads before the detach runs, so the detach must not wait for them or for a reply: the
// long time-out makes such a wait show in how long the process takes to end.
int ExitWithOpenHandle() {
  int h = -1;
  const int rc = g_by_name.open_device_ex(&h, 100, g_port_index, g_host.c_str(), 20000);
  std::printf("handle %d open (0x%X); exiting\n", h, static_cast<unsigned>(rc));
  ExitProcess(rc == KORVANE_OK ? 0 : 1);
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc < 2) {
    std::fprintf(stderr, "usage: dll_test DLL [--gateway | --unload-open | --exit-open HOST INDEX]\n");
    return 2;
  }
  g_dll_path = argv[1];
  const std::string mode = argc >= 5 ? argv[2] : "";
  if (argc >= 5) {
    g_host = argv[3];
    g_port_index = std::atoi(argv[4]);
  }
  g_dll = LoadLibraryA(g_dll_path.c_str());
  if (g_dll == nullptr) {
    std::printf("cannot load %s (error %lu)\n", g_dll_path.c_str(), GetLastError());
    return 1;
  }
  if (!Bind(g_dll, false, &g_by_name) || !Bind(g_dll, true, &g_by_ordinal)) {
    std::printf("%s lacks exports\n", g_dll_path.c_str());
    return 1;
  }
  std::printf("%s loaded (%s names)\n", kDllName, kDecorated ? "decorated" : "plain");
  if (mode == "--unload-open") return UnloadWithOpenHandle();
  if (mode == "--exit-open") return ExitWithOpenHandle();

  korvane_test::Case cases[] = {
      {"exports_by_name_and_ordinal", ExportsByNameAndOrdinal},
      {"version_resource", VersionResource},
      {"version_and_error_texts", VersionAndErrorTexts},
      {"invalid_handles", InvalidHandles},
#if defined(__i386__)
      {"calling_convention", CallingConvention},
#endif
      {"gateway_session", GatewaySession},
      {"concurrent_devices", ConcurrentDevices},
  };
  std::size_t count = sizeof cases / sizeof cases[0];
  if (mode != "--gateway") count -= 2;  // these need a gateway
  const int rc = korvane_test::RunCases(cases, count, nullptr);
  FreeLibrary(g_dll);
  return rc;
}
