// korvane-bench: the cost of the library's main job, one request and its confirmation,
// against the fastest possible client on the same machine in the same run: a blocking
// send/recv ping-pong of the same telegram sizes on the caller's thread. Also throughput with
// many handles, open and close, memory and threads per handle, and EEPROM reads through the
// gateway simulator. Prints tables and writes a CSV; see --help.

#include <KorvaneI2C.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "echo_gateway.h"
#include "raw_client.h"
#include "stats.h"
#include "system.h"

#ifndef KORVANE_BENCH_GWSIM
#define KORVANE_BENCH_GWSIM "korvane-gwsim"
#endif

namespace korvane::bench {
namespace {

constexpr const char* kHost = "127.0.0.1";
constexpr int kBitRate = 100;
constexpr uint16_t kDataBytes = 8;
constexpr int kSlave = 0xA0;
constexpr unsigned kEepromSize = 32768;
constexpr unsigned kEepromPage = 64;
constexpr uint64_t kMaxCallsPerThread = 50000000;  // bounds a throughput loop by count too
constexpr int kFirstPortIndex = 97;                // searched downwards for a free port

struct Options {
  int iterations = 20000;  // timed calls per round-trip case and placement
  int rounds = 5;          // the round-trip cases take turns this often, against drift
  double seconds = 0.4;    // length of one throughput window
  int throughput_rounds = 5;
  std::vector<int> threads = {1, 8, 64};
  int open_iterations = 200;
  int handles = 256;
  int eeprom_passes = 20;
  std::vector<Placement> placements = {Placement::kFree, Placement::kOneCpu, Placement::kSplit};
  std::set<std::string> cases = {"latency", "throughput", "open", "memory", "eeprom"};
  std::string csv = "results.csv";
  std::string sim = KORVANE_BENCH_GWSIM;
  int timeout_ms = 1000;
};

const char* const kUsage =
    "usage: korvane-bench [options]\n"
    "Measures the library against a raw send/recv ping-pong over loopback in the same run.\n\n"
    "  --cases LIST            latency,throughput,open,memory,eeprom (default: all)\n"
    "  --placements LIST       free,one-cpu,split (default: all): where the client and the\n"
    "                          gateway run; one-cpu puts both on the first allowed CPU, split\n"
    "                          the client on the first and the gateway on the second\n"
    "  --iterations N          timed calls per round-trip case and placement (default 20000)\n"
    "  --rounds N              turns the round-trip cases take, against drift (default 5)\n"
    "  --threads LIST          handle counts of the throughput case (default 1,8,64)\n"
    "  --seconds S             length of one throughput window (default 0.4)\n"
    "  --throughput-rounds N   windows per count, raw and library taking turns (default 5);\n"
    "                          the medians over the windows are reported\n"
    "  --open-iterations N     opens and closes timed per placement (default 200)\n"
    "  --handles N             handles open for the memory case (default 256)\n"
    "  --eeprom-passes N       32 KiB passes per block size (default 20)\n"
    "  --timeout-ms N          time-out given to the open functions (default 1000)\n"
    "  --sim PATH              gateway simulator (default: the one built with this program)\n"
    "  --csv PATH              results file (default results.csv)\n";

// ---------------------------------------------------------------------------------------
// Results

struct Row {
  std::string placement;
  std::string name;
  std::string metric;
  double value;
  std::string unit;
  double ratio;  // to the raw baseline of the same placement, NaN where there is none
};

class Report {
 public:
  void Add(const std::string& placement, const std::string& name, const std::string& metric, double value,
           const std::string& unit, double ratio = NAN) {
    rows_.push_back({placement, name, metric, value, unit, ratio});
  }
  const Row* Find(const std::string& placement, const std::string& name, const std::string& metric) const {
    for (const Row& r : rows_) {
      if (r.placement == placement && r.name == name && r.metric == metric) return &r;
    }
    return nullptr;
  }
  double Value(const std::string& placement, const std::string& name, const std::string& metric) const {
    const Row* r = Find(placement, name, metric);
    return r ? r->value : NAN;
  }
  double Ratio(const std::string& placement, const std::string& name, const std::string& metric) const {
    const Row* r = Find(placement, name, metric);
    return r ? r->ratio : NAN;
  }
  bool WriteCsv(const std::string& path) const {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    std::fprintf(f, "placement,case,metric,value,unit,ratio_to_raw\n");
    for (const Row& r : rows_) {
      std::fprintf(f, "%s,%s,%s,%.6g,%s,", r.placement.c_str(), r.name.c_str(), r.metric.c_str(), r.value,
                   r.unit.c_str());
      if (!std::isnan(r.ratio)) std::fprintf(f, "%.4f", r.ratio);
      std::fprintf(f, "\n");
    }
    return std::fclose(f) == 0;
  }

 private:
  std::vector<Row> rows_;
};

double Ratio(double value, double base) { return base > 0 ? value / base : NAN; }

// ---------------------------------------------------------------------------------------
// The cases

struct Context {
  const Options& options;
  EchoGateway& gateway;
  Report& report;
  std::vector<std::string> failures;

  void Fail(const std::string& placement, const std::string& what) {
    failures.push_back(placement + ": " + what);
    std::fprintf(stderr, "korvane-bench: %s: %s\n", placement.c_str(), what.c_str());
  }
  int OpenEcho(int* handle) const {
    return I2COpenDeviceEx(handle, kBitRate, gateway.port_index(), kHost, options.timeout_ms);
  }
  // CPU time of the process without the echo gateway's thread: the client's share.
  double ClientCpuSeconds() const { return ProcessCpuSeconds() - gateway.CpuSeconds(); }
};

std::string Hex(int code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(code));
  return text;
}

// Round trip of one request: raw ping-pong and the exports, taking turns in rounds.
void RunLatency(Context& ctx, const std::string& placement) {
  std::string error;
  RawClient raw;
  if (!raw.Connect(ctx.gateway.port(), &error)) return ctx.Fail(placement, "raw connect: " + error);
  int handle = -1;
  const int rc = ctx.OpenEcho(&handle);
  if (rc != 0) return ctx.Fail(placement, "I2COpenDeviceEx " + Hex(rc));

  Bytes read_request = RawReadRequest(kDataBytes);
  Bytes write_request = RawWriteRequest(kDataBytes);
  const std::size_t read_reply = RawReadReplySize(kDataBytes);
  const std::size_t write_reply = RawWriteReplySize();
  uint8_t in[kDataBytes] = {};
  const uint8_t out[kDataBytes] = {1, 2, 3, 4, 5, 6, 7, 8};
  int reply_value = 0;

  struct Series {
    const char* name;
    const char* baseline;
    std::vector<int64_t> samples;
    double cpu_seconds = 0;
  };
  Series series[] = {{"raw_read8", nullptr, {}},
                     {"I2CRead_8", "raw_read8", {}},
                     {"raw_write8", nullptr, {}},
                     {"I2CWrite_8", "raw_write8", {}}};
  auto call = [&](int which) {
    switch (which) {
      case 0: return raw.RoundTrip(&read_request, read_reply);
      case 1: return I2CRead(handle, kSlave, in, kDataBytes) == 0;
      case 2: return raw.RoundTrip(&write_request, write_reply);
      default: return I2CWrite(handle, kSlave, out, kDataBytes, &reply_value) == 0 && reply_value == kDataBytes;
    }
  };

  bool ok = true;
  const int warm_up = std::max(100, ctx.options.iterations / 10);
  for (int which = 0; which < 4 && ok; ++which) {
    for (int i = 0; i < warm_up && ok; ++i) ok = call(which);
  }
  for (uint8_t i = 0; i < kDataBytes && ok; ++i) ok = in[i] == i;  // the echo's data arrived intact
  const int per_round = std::max(1, ctx.options.iterations / std::max(1, ctx.options.rounds));
  for (Series& s : series) s.samples.reserve(static_cast<std::size_t>(per_round) * ctx.options.rounds);
  for (int round = 0; round < ctx.options.rounds && ok; ++round) {
    for (int which = 0; which < 4 && ok; ++which) {
      Series& s = series[which];
      const double cpu0 = ctx.ClientCpuSeconds();
      for (int i = 0; i < per_round && ok; ++i) {
        const int64_t t0 = NowNs();
        ok = call(which);
        s.samples.push_back(NowNs() - t0);
      }
      s.cpu_seconds += ctx.ClientCpuSeconds() - cpu0;
    }
  }
  I2CCloseDevice(handle);
  raw.Close();
  if (!ok) return ctx.Fail(placement, "a round trip failed");

  for (const Series& s : series) {
    const Summary sum = Summarize(s.samples);
    const double cpu_us = s.cpu_seconds * 1e6 / static_cast<double>(sum.count);
    const std::string base = s.baseline ? s.baseline : "";
    auto ratio = [&](const char* metric, double v) {
      return s.baseline ? Ratio(v, ctx.report.Value(placement, base, metric)) : NAN;
    };
    ctx.report.Add(placement, s.name, "median_us", sum.median_us, "us", ratio("median_us", sum.median_us));
    ctx.report.Add(placement, s.name, "p99_us", sum.p99_us, "us", ratio("p99_us", sum.p99_us));
    ctx.report.Add(placement, s.name, "cpu_us_per_call", cpu_us, "us", ratio("cpu_us_per_call", cpu_us));
    ctx.report.Add(placement, s.name, "calls", static_cast<double>(sum.count), "1");
  }
}

// Calls per second of n threads, each with its own connection, for one window.
double RunThroughputWindow(Context& ctx, const CpuPlan& plan, bool library, int n, bool* ok) {
  struct alignas(64) Counter {
    std::atomic<uint64_t> calls{0};
  };
  std::unique_ptr<Counter[]> counters(new Counter[static_cast<std::size_t>(n)]);
  std::mutex mutex;
  std::condition_variable cv;
  int ready = 0;
  bool go = false;
  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};

  auto worker = [&](int index) {
    // Pinned before opening, so the library's threads for this handle follow.
    Pin(0, plan.client);
    RawClient raw;
    int handle = -1;
    std::string error;
    Bytes request = RawReadRequest(kDataBytes);
    const std::size_t reply = RawReadReplySize(kDataBytes);
    const bool setup = library ? ctx.OpenEcho(&handle) == 0 : raw.Connect(ctx.gateway.port(), &error);
    if (!setup) failed = true;
    {
      std::unique_lock<std::mutex> lock(mutex);
      ++ready;
      cv.notify_all();
      cv.wait(lock, [&] { return go || stop.load(); });
    }
    uint8_t in[kDataBytes];
    uint64_t calls = 0;
    while (setup && !stop.load(std::memory_order_relaxed) && calls < kMaxCallsPerThread) {
      const bool done = library ? I2CRead(handle, kSlave, in, kDataBytes) == 0 : raw.RoundTrip(&request, reply);
      if (!done) {
        failed = true;
        break;
      }
      counters[static_cast<std::size_t>(index)].calls.store(++calls, std::memory_order_relaxed);
    }
    if (library && setup) I2CCloseDevice(handle);
  };

  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) threads.emplace_back(worker, i);
  bool all_ready;
  {
    std::unique_lock<std::mutex> lock(mutex);
    all_ready = cv.wait_for(lock, std::chrono::seconds(60), [&] { return ready == n; });
    if (all_ready && !failed) go = true;
  }
  double rate = 0;
  if (go) {
    cv.notify_all();
    const int64_t t0 = NowNs();
    std::this_thread::sleep_for(std::chrono::duration<double>(ctx.options.seconds));  // the window
    uint64_t total = 0;
    for (int i = 0; i < n; ++i) total += counters[static_cast<std::size_t>(i)].calls.load(std::memory_order_relaxed);
    const int64_t t1 = NowNs();
    rate = static_cast<double>(total) / (static_cast<double>(t1 - t0) * 1e-9);
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  cv.notify_all();
  for (std::thread& t : threads) t.join();
  *ok = go && !failed;
  return rate;
}

double Median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const std::size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// Raw and library windows take turns; the medians over the rounds, and the median of the
// ratios of neighbouring windows, keep a burst of load from elsewhere out of the figures.
void RunThroughput(Context& ctx, const std::string& placement, const CpuPlan& plan) {
  for (int n : ctx.options.threads) {
    std::vector<double> raw_rates, lib_rates, ratios;
    bool ok = true;
    for (int round = 0; round < ctx.options.throughput_rounds && ok; ++round) {
      const double raw = RunThroughputWindow(ctx, plan, false, n, &ok);
      if (!ok) break;
      const double lib = RunThroughputWindow(ctx, plan, true, n, &ok);
      raw_rates.push_back(raw);
      lib_rates.push_back(lib);
      ratios.push_back(Ratio(lib, raw));
    }
    if (!ok) return ctx.Fail(placement, "throughput with " + std::to_string(n) + " handles failed");
    const std::string suffix = "_x" + std::to_string(n);
    ctx.report.Add(placement, "raw" + suffix, "calls_per_s", Median(raw_rates), "1/s");
    ctx.report.Add(placement, "I2CRead" + suffix, "calls_per_s", Median(lib_rates), "1/s", Median(ratios));
  }
}

void RunOpenClose(Context& ctx, const std::string& placement) {
  std::vector<int64_t> opens, closes, closes_after_peer;
  const int n = std::max(1, ctx.options.open_iterations);
  for (int i = 0; i < n + 5; ++i) {
    int handle = -1;
    const int64_t t0 = NowNs();
    const int rc = ctx.OpenEcho(&handle);
    const int64_t t1 = NowNs();
    if (rc != 0) return ctx.Fail(placement, "I2COpenDeviceEx " + Hex(rc));
    const int rc_close = I2CCloseDevice(handle);
    const int64_t t2 = NowNs();
    if (rc_close != 0) return ctx.Fail(placement, "I2CCloseDevice " + Hex(rc_close));
    if (i >= 5) {  // the first few warm up
      opens.push_back(t1 - t0);
      closes.push_back(t2 - t1);
    }
  }
  // The gateway ends the connection with its disconnect request; once the library has
  // confirmed it and closed the socket, closing the handle is only local work.
  for (int i = 0; i < std::max(1, n / 2); ++i) {
    int handle = -1;
    const int rc = ctx.OpenEcho(&handle);
    if (rc != 0) return ctx.Fail(placement, "I2COpenDeviceEx " + Hex(rc));
    const uint64_t closed = ctx.gateway.ClosedByClient();
    ctx.gateway.RequestDisconnectAll();
    if (!ctx.gateway.WaitClosedByClient(closed + 1, 5000)) {
      I2CCloseDevice(handle);
      return ctx.Fail(placement, "the library did not close after the gateway's disconnect request");
    }
    const int64_t t0 = NowNs();
    I2CCloseDevice(handle);  // its result after a lost connection is not what is measured
    closes_after_peer.push_back(NowNs() - t0);
  }
  const Summary o = Summarize(opens), c = Summarize(closes), p = Summarize(closes_after_peer);
  ctx.report.Add(placement, "I2COpenDevice", "median_us", o.median_us, "us");
  ctx.report.Add(placement, "I2COpenDevice", "max_us", o.max_us, "us");
  ctx.report.Add(placement, "I2CCloseDevice", "median_us", c.median_us, "us");
  ctx.report.Add(placement, "I2CCloseDevice", "max_us", c.max_us, "us");
  ctx.report.Add(placement, "I2CCloseDevice_after_gateway_disconnect", "median_us", p.median_us, "us");
  ctx.report.Add(placement, "I2CCloseDevice_after_gateway_disconnect", "max_us", p.max_us, "us");
}

void RunMemory(Context& ctx, const std::string& placement) {
  int warm = -1;
  if (ctx.OpenEcho(&warm) == 0) I2CCloseDevice(warm);  // first-use costs are not per handle
  const ProcStatus before = ReadProcStatus();
  std::vector<int> handles;
  for (int i = 0; i < ctx.options.handles; ++i) {
    int handle = -1;
    const int rc = ctx.OpenEcho(&handle);
    if (rc != 0) {
      for (int h : handles) I2CCloseDevice(h);
      return ctx.Fail(placement, "open of handle " + std::to_string(i + 1) + ": " + Hex(rc));
    }
    handles.push_back(handle);
  }
  const ProcStatus open = ReadProcStatus();
  for (int h : handles) I2CCloseDevice(h);
  const ProcStatus after = ReadProcStatus();
  const double n = ctx.options.handles;
  const std::string name = "open_handles_" + std::to_string(ctx.options.handles);
  const auto rss = static_cast<double>(open.rss_kib - before.rss_kib);
  const auto threads = static_cast<double>(open.threads - before.threads);
  ctx.report.Add(placement, name, "rss_kib_delta", rss, "KiB");
  ctx.report.Add(placement, name, "rss_kib_per_handle", rss / n, "KiB");
  ctx.report.Add(placement, name, "threads_delta", threads, "1");
  ctx.report.Add(placement, name, "threads_per_handle", threads / n, "1");
  ctx.report.Add(placement, name, "rss_kib_after_close_delta", static_cast<double>(after.rss_kib - before.rss_kib),
                 "KiB");
  ctx.report.Add(placement, name, "threads_after_close_delta", static_cast<double>(after.threads - before.threads),
                 "1");
}

uint8_t Pattern(unsigned offset) { return static_cast<uint8_t>((offset * 31u + (offset >> 8)) & 0xFFu); }

void RunEeprom(Context& ctx, const std::string& placement, const CpuPlan& plan) {
  SimProcess sim;
  std::string error;
  // No write cycle, so that filling the EEPROM with a known pattern takes no time.
  if (!sim.Start(ctx.options.sim, ctx.gateway.port_index() - 1, plan.gateway, {"--write-cycle-ms", "0"}, 5000,
                 &error)) {
    return ctx.Fail(placement, "simulator: " + error);
  }
  int handle = -1;
  int rc = I2COpenDeviceEx(&handle, kBitRate, sim.port_index(), kHost, 5000);
  if (rc != 0) return ctx.Fail(placement, "I2COpenDeviceEx on the simulator " + Hex(rc));
  std::vector<uint8_t> expected(kEepromSize), data(kEepromSize);
  for (unsigned i = 0; i < kEepromSize; ++i) expected[i] = Pattern(i);
  for (unsigned offset = 0; offset < kEepromSize && rc == 0; offset += kEepromPage) {
    rc = I2CWriteEEProm(handle, 0, offset, &expected[offset], kEepromPage, 0);
  }
  if (rc != 0) {
    I2CCloseDevice(handle);
    return ctx.Fail(placement, "I2CWriteEEProm " + Hex(rc));
  }
  for (unsigned block : {256u, 4096u}) {
    std::vector<int64_t> calls;
    int64_t total_ns = 0;
    for (int pass = -1; pass < ctx.options.eeprom_passes && rc == 0; ++pass) {  // pass -1 warms up
      std::fill(data.begin(), data.end(), 0);
      for (unsigned offset = 0; offset < kEepromSize && rc == 0; offset += block) {
        const int64_t t0 = NowNs();
        rc = I2CReadEEProm(handle, 0, offset, &data[offset], static_cast<int>(block), 0);
        const int64_t t = NowNs() - t0;
        if (pass >= 0) {
          calls.push_back(t);
          total_ns += t;
        }
      }
      if (rc == 0 && data != expected) {
        I2CCloseDevice(handle);
        return ctx.Fail(placement, "EEPROM read back other data than written");
      }
    }
    if (rc != 0) {
      I2CCloseDevice(handle);
      return ctx.Fail(placement, "I2CReadEEProm " + Hex(rc));
    }
    const std::string name = "eeprom_read_32k_block" + std::to_string(block);
    const double bytes = double{kEepromSize} * ctx.options.eeprom_passes;
    ctx.report.Add(placement, name, "bytes_per_s", bytes / (static_cast<double>(total_ns) * 1e-9), "B/s");
    ctx.report.Add(placement, name, "median_us_per_call", Summarize(calls).median_us, "us");
  }
  I2CCloseDevice(handle);
}

// ---------------------------------------------------------------------------------------
// Output

std::string Fixed(double v, int decimals) {
  if (std::isnan(v)) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

bool AnyRow(const Report& r, const std::vector<std::string>& placements, const std::string& name,
            const std::string& metric) {
  for (const std::string& p : placements) {
    if (r.Find(p, name, metric)) return true;
  }
  return false;
}

void PrintTables(const Report& r, const std::vector<std::string>& placements, const Options& o) {
  if (AnyRow(r, placements, "I2CRead_8", "median_us")) {
    std::printf(
        "\nRound trip of one request with 8 data bytes, in microseconds. cpu = process CPU time per call\n"
        "without the echo gateway's thread. x raw = ratio to the raw ping-pong of the same sizes.\n");
    std::printf("%-9s %-12s %9s %9s %9s %9s %9s %9s\n", "placement", "case", "median", "p99", "cpu", "median", "p99",
                "cpu");
    std::printf("%-9s %-12s %9s %9s %9s %9s %9s %9s\n", "", "", "", "", "", "x raw", "x raw", "x raw");
    for (const std::string& p : placements) {
      for (const char* name : {"raw_read8", "I2CRead_8", "raw_write8", "I2CWrite_8"}) {
        if (!r.Find(p, name, "median_us")) continue;
        std::printf("%-9s %-12s %9s %9s %9s %9s %9s %9s\n", p.c_str(), name,
                    Fixed(r.Value(p, name, "median_us"), 1).c_str(), Fixed(r.Value(p, name, "p99_us"), 1).c_str(),
                    Fixed(r.Value(p, name, "cpu_us_per_call"), 1).c_str(),
                    Fixed(r.Ratio(p, name, "median_us"), 2).c_str(), Fixed(r.Ratio(p, name, "p99_us"), 2).c_str(),
                    Fixed(r.Ratio(p, name, "cpu_us_per_call"), 2).c_str());
      }
    }
  }

  if (!o.threads.empty() && AnyRow(r, placements, "I2CRead_x" + std::to_string(o.threads[0]), "calls_per_s")) {
    std::printf(
        "\nThroughput, I2CRead of 8 bytes: n handles, each used by its own thread; calls per second,\n"
        "median of the windows; x raw = median ratio of neighbouring windows.\n");
    std::printf("%-9s %7s %12s %12s %8s\n", "placement", "handles", "raw", "I2CRead", "x raw");
    for (const std::string& p : placements) {
      for (int n : o.threads) {
        const std::string s = "_x" + std::to_string(n);
        if (!r.Find(p, "I2CRead" + s, "calls_per_s")) continue;
        std::printf("%-9s %7d %12s %12s %8s\n", p.c_str(), n, Fixed(r.Value(p, "raw" + s, "calls_per_s"), 0).c_str(),
                    Fixed(r.Value(p, "I2CRead" + s, "calls_per_s"), 0).c_str(),
                    Fixed(r.Ratio(p, "I2CRead" + s, "calls_per_s"), 2).c_str());
      }
    }
  }

  if (AnyRow(r, placements, "I2COpenDevice", "median_us")) {
    std::printf("\nOpen and close, microseconds.\n");
    std::printf("%-9s %-40s %9s %9s\n", "placement", "case", "median", "max");
    for (const std::string& p : placements) {
      for (const char* name : {"I2COpenDevice", "I2CCloseDevice", "I2CCloseDevice_after_gateway_disconnect"}) {
        if (!r.Find(p, name, "median_us")) continue;
        std::printf("%-9s %-40s %9s %9s\n", p.c_str(), name, Fixed(r.Value(p, name, "median_us"), 1).c_str(),
                    Fixed(r.Value(p, name, "max_us"), 1).c_str());
      }
    }
  }

  const std::string mem = "open_handles_" + std::to_string(o.handles);
  const std::string any = "any";
  if (r.Find(any, mem, "rss_kib_delta")) {
    std::printf("\nMemory and threads with %d open handles, minus none open (one thread opened them all):\n",
                o.handles);
    std::printf(
        "  RSS %+.0f KiB (%.1f KiB per handle), threads %+.0f (%.2f per handle); after closing all: RSS %+.0f "
        "KiB, threads %+.0f\n",
        r.Value(any, mem, "rss_kib_delta"), r.Value(any, mem, "rss_kib_per_handle"), r.Value(any, mem, "threads_delta"),
        r.Value(any, mem, "threads_per_handle"), r.Value(any, mem, "rss_kib_after_close_delta"),
        r.Value(any, mem, "threads_after_close_delta"));
  }

  if (AnyRow(r, placements, "eeprom_read_32k_block256", "bytes_per_s")) {
    std::printf("\nEEPROM, 32 KiB read through the gateway simulator.\n");
    std::printf("%-9s %6s %12s %14s\n", "placement", "block", "KiB/s", "us per call");
    for (const std::string& p : placements) {
      for (const char* block : {"256", "4096"}) {
        const std::string name = std::string("eeprom_read_32k_block") + block;
        if (!r.Find(p, name, "bytes_per_s")) continue;
        std::printf("%-9s %6s %12s %14s\n", p.c_str(), block,
                    Fixed(r.Value(p, name, "bytes_per_s") / 1024.0, 0).c_str(),
                    Fixed(r.Value(p, name, "median_us_per_call"), 1).c_str());
      }
    }
  }
}

// The goals set for the library, checked against this run's figures. A check whose figures
// were not measured in this run is left out.
void PrintTargets(const Report& r, const std::vector<std::string>& placements, const Options& o) {
  struct Check {
    std::string what;
    double value;
    double limit;
    bool at_most;
  };
  std::vector<Check> checks;
  for (const std::string& p : placements) {
    const double limit = p == "one-cpu" ? 1.3 : 1.1;
    checks.push_back({p + ": I2CRead median x raw", r.Ratio(p, "I2CRead_8", "median_us"), limit, true});
    if (p == "one-cpu") {
      checks.push_back({p + ": I2CRead median x raw (stretch)", r.Ratio(p, "I2CRead_8", "median_us"), 1.15, true});
    }
    checks.push_back({p + ": I2CRead p99 x raw p99", r.Ratio(p, "I2CRead_8", "p99_us"), 2.0, true});
    checks.push_back(
        {p + ": 8 handles on 8 threads, calls/s x raw", r.Ratio(p, "I2CRead_x8", "calls_per_s"), 0.8, false});
    checks.push_back({p + ": I2CCloseDevice median (us)", r.Value(p, "I2CCloseDevice", "median_us"), 1000, true});
    checks.push_back({p + ": I2CCloseDevice worst (us)", r.Value(p, "I2CCloseDevice", "max_us"), 5000, true});
    checks.push_back({p + ": I2COpenDevice median (us)", r.Value(p, "I2COpenDevice", "median_us"), 2000, true});
  }
  const std::string mem = "open_handles_" + std::to_string(o.handles);
  checks.push_back({"threads per open handle", r.Value("any", mem, "threads_per_handle"), 2, true});
  checks.push_back({"RSS per open handle (KiB)", r.Value("any", mem, "rss_kib_per_handle"), 300, true});

  bool header = false;
  for (const Check& c : checks) {
    if (std::isnan(c.value)) continue;
    if (!header) {
      std::printf("\nTargets\n");
      header = true;
    }
    const bool met = c.at_most ? c.value <= c.limit : c.value >= c.limit;
    std::printf("  %-48s %10.3f  %s %-8g %s\n", c.what.c_str(), c.value, c.at_most ? "<=" : ">=", c.limit,
                met ? "met" : "NOT met");
  }
}

// ---------------------------------------------------------------------------------------
// Options

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

bool ParseInt(const char* text, int min, int* out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (!end || *end || v < min || v > 100000000) return false;
  *out = static_cast<int>(v);
  return true;
}

bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) {
      *error = "missing value or unknown option: " + arg;
      return false;
    }
    const char* value = argv[++i];
    bool ok = true;
    if (arg == "--iterations")
      ok = ParseInt(value, 1, &o->iterations);
    else if (arg == "--rounds")
      ok = ParseInt(value, 1, &o->rounds);
    else if (arg == "--throughput-rounds")
      ok = ParseInt(value, 1, &o->throughput_rounds);
    else if (arg == "--open-iterations")
      ok = ParseInt(value, 1, &o->open_iterations);
    else if (arg == "--handles")
      ok = ParseInt(value, 1, &o->handles);
    else if (arg == "--eeprom-passes")
      ok = ParseInt(value, 1, &o->eeprom_passes);
    else if (arg == "--timeout-ms")
      ok = ParseInt(value, 1, &o->timeout_ms);
    else if (arg == "--csv")
      o->csv = value;
    else if (arg == "--sim")
      o->sim = value;
    else if (arg == "--seconds") {
      o->seconds = std::strtod(value, nullptr);
      ok = o->seconds > 0 && o->seconds <= 60;
    } else if (arg == "--threads") {
      o->threads.clear();
      for (const std::string& t : SplitList(value)) {
        int n = 0;
        ok = ok && ParseInt(t.c_str(), 1, &n) && n <= 1024;
        o->threads.push_back(n);
      }
    } else if (arg == "--placements") {
      o->placements.clear();
      for (const std::string& p : SplitList(value)) {
        if (p == "free")
          o->placements.push_back(Placement::kFree);
        else if (p == "one-cpu")
          o->placements.push_back(Placement::kOneCpu);
        else if (p == "split")
          o->placements.push_back(Placement::kSplit);
        else
          ok = false;
      }
    } else if (arg == "--cases") {
      o->cases.clear();
      for (const std::string& c : SplitList(value)) {
        ok = ok && (c == "latency" || c == "throughput" || c == "open" || c == "memory" || c == "eeprom");
        o->cases.insert(c);
      }
    } else {
      *error = "unknown option: " + arg;
      return false;
    }
    if (!ok) {
      *error = "bad value for " + arg + ": " + value;
      return false;
    }
  }
  return true;
}

double LoadAverage() {
  double load = NAN;
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &load) != 1) load = NAN;
    std::fclose(f);
  }
  return load;
}

int Main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "korvane-bench: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  EchoGateway gateway;
  if (!gateway.Start(kFirstPortIndex)) {
    std::fprintf(stderr, "korvane-bench: echo gateway: %s\n", gateway.error().c_str());
    return 1;
  }
  Report report;
  Context ctx{options, gateway, report, {}};
  cpu_set_t mask;
  const auto cpus = AllowedCpus(&mask);
  char version[64] = {};
  DLLInfo(version, sizeof version);
  const double load_start = LoadAverage();
  std::printf("korvane-bench: %s; %zu CPUs; echo gateway on %s:%d; load average %.2f\n", version, cpus.size(), kHost,
              gateway.port(), load_start);
  report.Add("-", "machine", "cpus", static_cast<double>(cpus.size()), "1");
  report.Add("-", "machine", "load_1min_start", load_start, "1");
  const double busy_start = MachineBusySeconds(), own_start = OwnCpuSeconds();
  const int64_t run_start = NowNs();

  std::vector<std::string> done;
  if (options.cases.count("memory")) {
    // First, in a fresh process: what earlier cases allocated and freed would otherwise be
    // reused or retained by the allocator and blur the figure. Placement does not change
    // what a handle holds, so it is measured once, unpinned.
    CpuPlan plan;
    MakeCpuPlan(Placement::kFree, &plan);
    Pin(gateway.tid(), plan.gateway);
    Pin(0, plan.client);
    std::fprintf(stderr, "korvane-bench: memory\n");
    RunMemory(ctx, "any");
  }
  for (Placement placement : options.placements) {
    const std::string name = PlacementName(placement);
    CpuPlan plan;
    if (!MakeCpuPlan(placement, &plan)) {
      ctx.Fail(name, "not enough CPUs for this placement; skipped");
      continue;
    }
    if (!Pin(gateway.tid(), plan.gateway) || !Pin(0, plan.client)) {
      ctx.Fail(name, "sched_setaffinity failed; skipped");
      continue;
    }
    done.push_back(name);
    auto run = [&](const char* which, auto&& body) {
      if (!options.cases.count(which)) return;
      std::fprintf(stderr, "korvane-bench: %s: %s\n", name.c_str(), which);
      body();
    };
    run("latency", [&] { RunLatency(ctx, name); });
    run("throughput", [&] { RunThroughput(ctx, name, plan); });
    run("open", [&] { RunOpenClose(ctx, name); });
    run("eeprom", [&] { RunEeprom(ctx, name, plan); });
  }
  CpuPlan free_plan;
  MakeCpuPlan(Placement::kFree, &free_plan);
  Pin(0, free_plan.all);
  gateway.Stop();

  const double load_end = LoadAverage();
  report.Add("-", "machine", "load_1min_end", load_end, "1");
  // The load average counts this program's own threads; the CPU time others took does not.
  const double others = (MachineBusySeconds() - busy_start) - (OwnCpuSeconds() - own_start);
  const double capacity = static_cast<double>(NowNs() - run_start) * 1e-9 * static_cast<double>(cpus.size());
  const double others_percent = capacity > 0 ? std::max(0.0, 100.0 * others / capacity) : NAN;
  report.Add("-", "machine", "others_cpu_percent", others_percent, "%");
  PrintTables(report, done, options);
  PrintTargets(report, done, options);
  std::printf(
      "\nother processes used %.0f%% of the CPUs during the run; load average (1 min) %.2f at the start,\n"
      "%.2f at the end (this program's threads included)\n",
      others_percent, load_start, load_end);
  if (!report.WriteCsv(options.csv)) {
    std::fprintf(stderr, "korvane-bench: cannot write %s\n", options.csv.c_str());
    return 1;
  }
  std::printf("results: %s\n", options.csv.c_str());
  for (const std::string& f : ctx.failures) std::fprintf(stderr, "korvane-bench: FAILED %s\n", f.c_str());
  return ctx.failures.empty() ? 0 : 1;
}

}  // namespace
}  // namespace korvane::bench

int main(int argc, char** argv) { return korvane::bench::Main(argc, argv); }
