// Benchmarks of TEVRO against the simulated boxes on the host.
//
// For every exported function on each kind of box, and for the scan over a range of
// worlds: the library's time per call with the stand-in's share taken out (the stand-in
// calls the call made, replayed without the library), the device requests per call, and
// those requests against the figures of the box protocol.
//
//   tevro_bench [--benchmark_...] [--only=TEXT] [--callgrind=FILE] [--report=FILE]
//               [--note=TEXT] [--per-call-iterations=N] [--verbose]
//       measures and prints the tables (and writes them to the --report file); FILE from
//       --callgrind adds instruction counts; calls that need set-up before or after each
//       one run N times (2000); --verbose shows Google Benchmark's own table
//   tevro_bench --counts [--only=TEXT]
//       prints the request tables alone (no timing)
//   tevro_bench --fixed=N [--only=TEXT]
//       runs each operation N times with no timing, for valgrind --tool=callgrind
//       --collect-atstart=no --toggle-collect=tevro_bench_measured_call
//       --dump-after=tevro_bench_operation_done; prints one line per operation (its
//       label and N), in the order of the dumps
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue.h"
#include "loader.h"
#include "replay.h"
#include "timing.h"
#include "world.h"

namespace {

struct Entry {
  Operation op;
  Observation seen;
  Replay replay;
  bool scan;  // a row of the scan table
};

// What one benchmark run measured, per call.
struct Measured {
  bool done = false;
  double totalNs = 0;    // library and stand-in
  double standInNs = 0;  // the same stand-in calls without the library
  double ownNs = 0;      // the library's own share: the median of (total - stand-in)
  double requests = 0;   // counted by the stand-in during the timed calls
  double virtualMs = 0;
  uint64_t calls = 0;
};

// Instruction counts from callgrind, per call.
struct Instructions {
  double library = 0;  // in the library's own code
  double standIn = 0;  // in the stand-in, the simulated boxes and the runtime they use
};

std::vector<Entry> gEntries;
std::map<std::string, Measured> gMeasured;          // by label
std::map<std::string, Instructions> gInstructions;  // by label
double gClockNs = 0;                                // one pair of clock reads

// Calls per timed batch: cheap calls are timed many at a time so that the clock does not
// dominate; calls that need work before or after each one are timed one by one.
uint32_t BatchSize(const Entry& e) {
  if (e.op.before || e.op.after) return 1;
  uint32_t requests = e.seen.figures.Requests();
  if (requests == 0) return 1000;
  return std::max<uint32_t>(1, 200 / requests);
}

std::string BenchmarkId(const Operation& op) {
  std::string id;
  for (char c : op.Label()) {
    if (c == ' ' || c == ',') {
      if (!id.empty() && id.back() != '_') id += '_';
    } else if (c == '[' || c == '(') {
      if (!id.empty() && id.back() == '_') id.pop_back();
      id += '/';
    } else if (c != ']' && c != ')') {
      id += c;
    }
  }
  return id;
}

double Median(std::vector<double>& samples) {
  if (samples.empty()) return 0;
  size_t middle = samples.size() / 2;
  std::nth_element(samples.begin(), samples.begin() + middle, samples.end());
  return samples[middle];
}

// Each iteration times one batch of library calls and then one batch of their replay; the
// per-call figures are medians over the iterations, so that a preempted batch (the machine
// is shared) does not count.
void RunEntry(benchmark::State& state, Entry* e) {
  BuildWorld(e->op.world);
  hostwin::SetTraceEnabled(false);
  std::unique_ptr<LoadedLibrary> library(new LoadedLibrary);
  if (!library->ok()) {
    state.SkipWithError(library->error().c_str());
    return;
  }
  const TevroApi& api = library->api();
  if (e->op.prepare) e->op.prepare(api);
  const uint32_t batch = BatchSize(*e);
  std::vector<double> total, standIn, own;
  total.reserve(state.max_iterations);
  standIn.reserve(state.max_iterations);
  own.reserve(state.max_iterations);
  uint64_t requests = 0, calls = 0, virtualMs = 0;
  uint32_t i = 0;
  for (auto _ : state) {
    if (e->op.before) e->op.before(api);
    uint64_t requestsBefore = RequestCount();
    uint32_t msBefore = hostwin::NowMs();
    Clock::time_point t0 = Clock::now();
    for (uint32_t k = 0; k < batch; ++k) benchmark::DoNotOptimize(e->op.call(api, i++));
    Clock::time_point t1 = Clock::now();
    virtualMs += hostwin::NowMs() - msBefore;
    requests += RequestCount() - requestsBefore;
    if (e->op.after) e->op.after(api);

    Clock::time_point t2 = Clock::now();
    for (uint32_t k = 0; k < batch; ++k) e->replay.Run();
    Clock::time_point t3 = Clock::now();
    e->replay.Cleanup();
    Clock::time_point t4 = Clock::now();
    for (uint32_t k = 0; k < batch; ++k) e->replay.DryRun();
    Clock::time_point t5 = Clock::now();

    double libraryBatch = Ns(t1 - t0);
    // The stand-in's time: the replay less its own stepping (the clock costs cancel).
    double replayBatch = Ns(t3 - t2) - Ns(t5 - t4) + gClockNs;
    total.push_back(std::max(0.0, libraryBatch - gClockNs) / batch);
    standIn.push_back(std::max(0.0, replayBatch - gClockNs) / batch);
    own.push_back((libraryBatch - replayBatch) / batch);
    calls += batch;
    state.SetIterationTime(std::max(0.0, libraryBatch - gClockNs) / 1e9);
  }
  library.reset();
  if (calls == 0) return;
  Measured& m = gMeasured[e->op.Label()];
  m.done = true;
  m.calls = calls;
  m.totalNs = Median(total);
  m.standInNs = Median(standIn);
  m.ownNs = Median(own);
  m.requests = static_cast<double>(requests) / calls;
  m.virtualMs = static_cast<double>(virtualMs) / calls;
  state.counters["calls_per_iter"] = batch;
  state.counters["ns_per_call"] = m.totalNs;
  state.counters["standin_ns"] = m.standInNs;
  state.counters["library_ns"] = m.ownNs;
  state.counters["requests"] = m.requests;
  if (m.requests > 0) state.counters["library_ns_per_req"] = m.ownNs / m.requests;
  state.counters["virtual_ms"] = m.virtualMs;
}

// Quiet progress on stderr instead of Google Benchmark's own table (--verbose for that).
class ProgressReporter : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context&) override { return true; }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      fprintf(stderr, "  measured %s%s\n", run.benchmark_name().c_str(),
              run.error_occurred ? (" ERROR: " + run.error_message).c_str() : "");
    }
  }
};

// --fixed: the callgrind run.
volatile uint32_t gSink;

extern "C" __attribute__((noinline)) uint32_t tevro_bench_measured_call(const Entry* e,
                                                                        const TevroApi* api,
                                                                        uint32_t i) {
  uint32_t result = e->op.call(*api, i);
  gSink = result;  // something after the call: never a tail call, so the toggle nests
  return result;
}

extern "C" __attribute__((noinline)) void tevro_bench_operation_done(const char* label) {
  gSink = static_cast<uint32_t>(strlen(label));
}

int RunFixed(uint32_t n) {
  for (Entry& e : gEntries) {
    BuildWorld(e.op.world);
    hostwin::SetTraceEnabled(false);
    std::unique_ptr<LoadedLibrary> library(new LoadedLibrary);
    if (!library->ok()) {
      fprintf(stderr, "%s\n", library->error().c_str());
      return 1;
    }
    const TevroApi& api = library->api();
    if (e.op.prepare) e.op.prepare(api);
    // One call first, outside the count, then n counted ones.
    for (uint32_t i = 0; i <= n; ++i) {
      if (e.op.before) e.op.before(api);
      if (i == 0) {
        gSink = e.op.call(api, i);
      } else {
        tevro_bench_measured_call(&e, &api, i);
      }
      if (e.op.after) e.op.after(api);
    }
    library.reset();
    tevro_bench_operation_done(e.op.Label().c_str());
    printf("%s\t%u\n", e.op.Label().c_str(), n);
    fflush(stdout);
  }
  return 0;
}

// Instructions per call, by label (callgrind_split.py): in the library, in the stand-in.
bool ReadInstructions(const std::string& path) {
  std::map<std::string, std::pair<double, double>> table;
  if (!ReadInstructionTable(path, &table)) return false;
  for (const auto& entry : table) {
    gInstructions[entry.first] = Instructions{entry.second.first, entry.second.second};
  }
  return true;
}

// Output: every table goes to stdout and to the report file.
struct Output {
  FILE* report = nullptr;
  void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

void Output::Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char text[4096];
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  fputs(text, stdout);
  if (report != nullptr) fputs(text, report);
}

const char* BoxName(BoxKind box) {
  switch (box) {
    case BoxKind::kBridge:
      return "bridge";
    case BoxKind::kPort:
      return "port";
    case BoxKind::kNone:
      break;
  }
  return "-";
}

std::string Fixed(double value, int decimals) {
  char text[32];
  snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string FtColumn(const Figures& f) { return f.ftCalls.empty() ? "-" : f.ftCalls; }

// ok: the protocol's figures; known: a known difference, with the library's figures it is
// held to (tests/protocol/catalogue.cpp gives the reason); DIFF: anything else.
const char* CheckText(const Entry& e) {
  if (e.seen.figures == e.op.protocol) return "ok";
  if (e.op.knownDifference && e.seen.figures == e.op.library) return "known";
  return "DIFF";
}

void PrintRequestTable(Output& out) {
  out.Print("\n## Requests per call against the protocol\n\n");
  out.Print(
      "Requests = driver transfers (DeviceIoControl) + D2XX calls. Device opens are "
      "CreateFileA calls, failed ones included. Counted with the trace on, first call after "
      "the set-up. Check: ok, the protocol's figures; known, a difference the request-count "
      "test holds the library to, its reason below; DIFF, anything else.\n\n");
  out.Print(
      "| Function | Box | Requests | Protocol | Transfers | Device opens | D2XX calls | Check |\n");
  out.Print("|---|---|--:|--:|--:|--:|---|---|\n");
  std::vector<const Entry*> differences;
  for (const Entry& e : gEntries) {
    if (e.scan) continue;
    const Figures& f = e.seen.figures;
    bool ok = f == e.op.protocol;
    if (!ok) differences.push_back(&e);
    out.Print("| %s | %s | %u | %u | %u | %u | %s | %s |\n", e.op.name.c_str(), BoxName(e.op.box),
              f.Requests(), e.op.protocol.Requests(), f.transfers, f.deviceOpens,
              FtColumn(f).c_str(), CheckText(e));
  }
  for (const Entry* e : differences) {
    out.Print("\nDIFF %s:\n  measured: %s\n  protocol: %s\n", e->op.Label().c_str(),
              Describe(e->seen.figures).c_str(), Describe(e->op.protocol).c_str());
    if (e->op.knownDifference) out.Print("  known: %s\n", e->op.why.c_str());
  }
}

const Entry* FindEntry(const std::string& label) {
  for (const Entry& e : gEntries) {
    if (e.op.Label() == label) return &e;
  }
  return nullptr;
}

// Transfers of one instruction as the library frames it, in the calls of this table.
// 'afterWrite': the instruction follows a write's wait for ready, and needs no select.
uint32_t LibraryFraming(const EepromInstruction& in, bool afterWrite) {
  const uint32_t saved = afterWrite ? 1 : 0;
  if (in.kind == "write enable") return kLibraryWriteEnableTransfers;
  if (in.kind == "write disable") return kLibraryWriteDisableTransfers - saved;
  if (in.kind == "read") return kLibraryFieldReadTransfers;  // the field's 4 bytes at once
  return kLibraryByteWriteTransfers - saved;
}

// Transfers of the same work as the protocol frames it (a read: its four byte reads).
uint32_t ProtocolFraming(const EepromInstruction& in) {
  if (in.kind == "write enable") return kWriteEnableTransfers;
  if (in.kind == "write disable") return kWriteDisableTransfers;
  if (in.kind == "read") return kFieldReadTransfers;
  return kByteTransfers;
}

void PrintEepromTable(Output& out) {
  const Entry* read = FindEntry("GetSerialNumber [port]");
  const Entry* write = FindEntry("SetSerialNumber [port]");
  if (read == nullptr || write == nullptr) return;
  out.Print("\n## Serial-EEPROM instructions inside a field read and a field write\n\n");
  out.Print(
      "Library framing: two pin writes per bit out, one read instruction for the field's four "
      "bytes (the part's sequential read), a deselect before an operation's first instruction, "
      "a byte write with its wait for ready (a select and a look at a part ready at once), the "
      "instruction after it without a select. Protocol: the same work as the protocol frames it "
      "(a byte read 56 transfers, a byte write 56, write enable 33, write disable 32).\n\n");
  out.Print("| Call | Instruction | Address | Transfers | Library framing | Protocol | Check |\n");
  out.Print("|---|---|--:|--:|--:|--:|---|\n");
  for (const Entry* e : {read, write}) {
    uint32_t sum = 0;
    bool afterWrite = false;
    for (const EepromInstruction& in : EepromInstructions(e->seen.calls)) {
      sum += in.transfers;
      bool addressed = in.kind == "read" || in.kind == "write";
      const uint32_t framing = LibraryFraming(in, afterWrite);
      out.Print("| %s | %s | %s | %u | %u | %u | %s |\n", e->op.name.c_str(), in.kind.c_str(),
                addressed ? std::to_string(in.address).c_str() : "-", in.transfers, framing,
                ProtocolFraming(in), in.transfers == framing ? "ok" : "DIFF");
      afterWrite = in.kind == "write";
    }
    uint32_t library = e == read ? kLibraryFieldReadTransfers : LibraryFieldWriteTransfers(4);
    uint32_t protocol = e == read ? kFieldReadTransfers : kFieldWriteTransfers;
    out.Print("| %s | between open and close | | %u | %u | %u | %s |\n", e->op.name.c_str(), sum,
              library, protocol, sum == library ? "ok" : "DIFF");
  }
}

// The session steps the driver-port request cut set goals for: the previous release's
// figure, the protocol's, the one measured now from the stand-in's trace, and the goal.
void PrintSessionTable(Output& out) {
  std::vector<Operation> ops = FunctionOperations();
  auto find = [&ops](const std::string& label) -> const Operation* {
    for (const Operation& op : ops) {
      if (op.Label() == label) return &op;
    }
    return nullptr;
  };
  SessionRequests session;
  std::string error;
  if (!ObserveSession(&session, &error)) {
    out.Print("\nSession steps not measured: %s\n", error.c_str());
    return;
  }
  out.Print("\n## Session steps on a driver-port box\n\n");
  out.Print(
      "Requests of each step, each counting the status read of the device open. Previous "
      "release: its figures, pinned by its request-count test. Protocol: the box protocol's, "
      "as first described. Now: measured from the stand-in's trace (the first call after the "
      "set-up; the whole session in one process). Check: ok when now is within the goal.\n\n");
  out.Print("| Step | Previous release | Protocol | Now | Goal | Check |\n");
  out.Print("|---|--:|--:|--:|--:|---|\n");
  const char* const sessionLabels[] = {"ScanForPos [port]", "OpenPosInterface [port]",
                                       "KasseOpen [port]",
                                       "ClosePosInterface (after a kick) [port]"};
  for (const SessionStep& step : SessionSteps()) {
    uint64_t now = 0, protocol = 0;
    if (step.label.empty()) {
      now = session.Session();
      for (const char* label : sessionLabels) {
        if (find(label) != nullptr) protocol += find(label)->protocol.Requests();
      }
    } else {
      const Operation* op = find(step.label);
      Observation seen;
      if (op == nullptr || !Observe(*op, &seen, &error)) {
        out.Print("| %s | %u | - | - | %u | not measured |\n", step.name.c_str(),
                  step.previousRelease, step.goal);
        continue;
      }
      now = seen.figures.Requests();
      protocol = op->protocol.Requests();
    }
    out.Print("| %s | %u | %llu | %llu | %u | %s |\n", step.name.c_str(), step.previousRelease,
              static_cast<unsigned long long>(protocol), static_cast<unsigned long long>(now),
              step.goal, now <= step.goal ? "ok" : "OVER");
  }
  out.Print(
      "\nThe whole session, in one process: load %llu, OpenPosInterface %llu, KasseOpen %llu, "
      "ClosePosInterface %llu requests; the pulse's release by the library's timer (%llu more) "
      "is counted in no column, as in the earlier figures.\n",
      static_cast<unsigned long long>(session.load), static_cast<unsigned long long>(session.open),
      static_cast<unsigned long long>(session.kick), static_cast<unsigned long long>(session.close),
      static_cast<unsigned long long>(session.release));
}

// What the wait for ready costs a field write on parts that take their time to program,
// at the speed of a full-speed box (a millisecond a request), under Wine (about 50 µs) and on
// the host's stand-in (no time at all: every look but the paced ones meets a busy part).
void PrintReadyWaitTable(Output& out) {
  out.Print("\n## The wait for ready inside a field write\n\n");
  out.Print(
      "SetSerialNumber on a driver-port box whose EEPROM programs each byte for the time "
      "given, each request taking the time given on the stand-in's virtual clock. After each "
      "byte the library looks at the part until it shows ready: back to back for 8 looks, then "
      "one a millisecond. Requests: all of the call's, the device open's status read "
      "included.\n\n");
  out.Print("| Programming time | Request time | Requests | Time of the call |\n");
  out.Print("|--:|--:|--:|--:|\n");
  for (uint32_t requestUs : {1000u, 50u, 0u}) {
    for (uint32_t programUs : {0u, 2000u, 4000u, 6000u}) {
      uint64_t requests = 0, elapsedUs = 0;
      std::string error;
      if (!ObserveSlowPartWrite(programUs, requestUs, &requests, &elapsedUs, &error)) {
        out.Print("| %u ms | %u µs | not measured: %s | |\n", programUs / 1000, requestUs,
                  error.c_str());
        continue;
      }
      out.Print("| %u ms | %u µs | %llu | %.1f ms |\n", programUs / 1000, requestUs,
                static_cast<unsigned long long>(requests), static_cast<double>(elapsedUs) / 1000.0);
    }
  }
}

void PrintCostTable(Output& out, bool timed) {
  if (!timed && gInstructions.empty()) return;
  out.Print("\n## Cost per call\n\n");
  out.Print(
      "Total: ns per call, library and stand-in together, trace off. Stand-in: the same "
      "stand-in calls sent again without the library (a replay of the call's trace), less "
      "the replay's own stepping through its records (timed in a dry run). Library: total - "
      "stand-in, batch by batch. Medians over the timed batches; the clock's own cost (%.0f "
      "ns per batch) is taken out. The timed figures resolve a few ns per call: small "
      "negative values are noise. Library Ir: instructions executed in the library's own "
      "code per call, from callgrind (exact, not timed). Stand-in Ir/request: the stand-in's "
      "and the simulated box's instructions per request.\n\n",
      gClockNs);
  out.Print(
      "| Function | Box | Requests | Total ns | Stand-in ns | Library ns | Library ns/request "
      "| Library Ir | Library Ir/request | Stand-in Ir/request |\n");
  out.Print("|---|---|--:|--:|--:|--:|--:|--:|--:|--:|\n");
  for (const Entry& e : gEntries) {
    if (e.scan) continue;
    const Measured& m = gMeasured[e.op.Label()];
    double requests = e.seen.figures.Requests();
    std::string total = "-", standIn = "-", own = "-", ownPerRequest = "-";
    if (timed && m.done) {
      requests = m.requests;
      total = Fixed(m.totalNs, 0);
      standIn = Fixed(m.standInNs, 0);
      own = Fixed(m.ownNs, 0);
      if (m.requests > 0) ownPerRequest = Fixed(m.ownNs / m.requests, 1);
    }
    std::string ir = "-", irPerRequest = "-", standInIr = "-";
    auto it = gInstructions.find(e.op.Label());
    if (it != gInstructions.end()) {
      ir = Fixed(it->second.library, 0);
      if (requests > 0) {
        irPerRequest = Fixed(it->second.library / requests, 1);
        standInIr = Fixed(it->second.standIn / requests, 0);
      }
    }
    out.Print("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", e.op.name.c_str(),
              BoxName(e.op.box),
              Fixed(requests, requests == static_cast<int>(requests) ? 0 : 2).c_str(),
              total.c_str(), standIn.c_str(), own.c_str(), ownPerRequest.c_str(), ir.c_str(),
              irPerRequest.c_str(), standInIr.c_str());
  }
}

void PrintScanTable(Output& out, bool timed) {
  out.Print("\n## The scan (ScanForPos)\n\n");
  out.Print(
      "Virtual ms: time on the stand-in's clock (the 10 ms retry before a missing bridge box "
      "is the only wait). Wall and library columns are µs per scan on this machine.\n\n");
  out.Print(
      "| D2XX file | Bridge boxes | Port boxes | Result | Requests | Transfers | Device opens "
      "| D2XX calls | Virtual ms | Message box | Check | Wall µs | Library µs | Library Ir |\n");
  out.Print("|---|--:|--:|--:|--:|--:|--:|--:|--:|---|---|--:|--:|--:|\n");
  std::vector<const Entry*> differences;
  for (const Entry& e : gEntries) {
    if (!e.scan) continue;
    const Figures& f = e.seen.figures;
    bool ok = f == e.op.protocol;
    if (!ok) differences.push_back(&e);
    const Measured& m = gMeasured[e.op.Label()];
    std::string wall = "-", own = "-", ir = "-";
    if (timed && m.done) {
      wall = Fixed(m.totalNs / 1000, 1);
      own = Fixed(m.ownNs / 1000, 2);
    }
    auto it = gInstructions.find(e.op.Label());
    if (it != gInstructions.end()) ir = Fixed(it->second.library, 0);
    out.Print("| %s | %d | %d | 0x%04x | %u | %u | %u | %u | %u | %s | %s | %s | %s | %s |\n",
              e.op.world.d2xxFile ? "yes" : "no", e.op.world.bridgeBoxes, e.op.world.portBoxes,
              static_cast<unsigned>(e.seen.result), f.Requests(), f.transfers, f.deviceOpens,
              f.FtCount(), f.virtualMs, f.messageBoxes ? "yes" : "no", CheckText(e), wall.c_str(),
              own.c_str(), ir.c_str());
  }
  for (const Entry* e : differences) {
    out.Print("\nDIFF %s:\n  measured: %s\n  protocol: %s\n", e->op.Label().c_str(),
              Describe(e->seen.figures).c_str(), Describe(e->op.protocol).c_str());
    if (e->op.knownDifference) out.Print("  known: %s\n", e->op.why.c_str());
  }
}

std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 10, "model name") == 0) {
      size_t colon = line.find(':');
      return colon == std::string::npos ? line : line.substr(colon + 2);
    }
  }
  return "unknown";
}

bool TakeFlag(int* argc, char** argv, const char* name, std::string* value) {
  size_t length = strlen(name);
  for (int i = 1; i < *argc; ++i) {
    const char* arg = argv[i];
    bool bare = strcmp(arg, name) == 0;
    bool withValue = strncmp(arg, name, length) == 0 && arg[length] == '=';
    if (!bare && !withValue) continue;
    *value = withValue ? arg + length + 1 : "";
    for (int j = i; j + 1 < *argc; ++j) argv[j] = argv[j + 1];
    --*argc;
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::string fixed, only, callgrind, report, countsFlag, verbose, note, iterations;
  bool fixedMode = TakeFlag(&argc, argv, "--fixed", &fixed);
  TakeFlag(&argc, argv, "--only", &only);
  TakeFlag(&argc, argv, "--callgrind", &callgrind);
  TakeFlag(&argc, argv, "--report", &report);
  TakeFlag(&argc, argv, "--note", &note);
  bool countsOnly = TakeFlag(&argc, argv, "--counts", &countsFlag);
  bool verboseMode = TakeFlag(&argc, argv, "--verbose", &verbose);
  int perCallIterations = 2000;
  if (TakeFlag(&argc, argv, "--per-call-iterations", &iterations)) {
    perCallIterations = std::max(1, atoi(iterations.c_str()));
  }

  std::vector<Operation> ops = FunctionOperations();
  size_t functionRows = ops.size();
  for (Operation& op : ScanOperations()) ops.push_back(op);
  gEntries.reserve(ops.size());
  for (size_t k = 0; k < ops.size(); ++k) {
    if (!only.empty() && ops[k].Label().find(only) == std::string::npos) continue;
    Entry e{ops[k], Observation{}, Replay{}, k >= functionRows};
    std::string error;
    if (!Observe(e.op, &e.seen, &error) || !e.replay.Compile(e.seen.calls, &error)) {
      fprintf(stderr, "%s: %s\n", e.op.Label().c_str(), error.c_str());
      return 1;
    }
    gEntries.push_back(std::move(e));
  }

  if (fixedMode) return RunFixed(static_cast<uint32_t>(atoi(fixed.c_str())));

  if (!callgrind.empty() && !ReadInstructions(callgrind)) {
    fprintf(stderr, "cannot read %s\n", callgrind.c_str());
    return 1;
  }

  if (!countsOnly) {
    gClockNs = ClockPairNs();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    for (Entry& e : gEntries) {
      benchmark::internal::Benchmark* b =
          benchmark::RegisterBenchmark(BenchmarkId(e.op).c_str(), RunEntry, &e)
              ->UseManualTime()
              ->Unit(benchmark::kMicrosecond);
      // The work before and after each call is not timed: a minimum time would run a cheap
      // call behind expensive set-up for ever. These run a fixed number of times.
      if (e.op.before || e.op.after) b->Iterations(perCallIterations);
    }
    std::unique_ptr<benchmark::BenchmarkReporter> reporter;
    if (verboseMode) {
      reporter.reset(new benchmark::ConsoleReporter);
    } else {
      reporter.reset(new ProgressReporter);
    }
    benchmark::RunSpecifiedBenchmarks(reporter.get());
    benchmark::Shutdown();
  }

  Output out;
  if (!report.empty()) {
    out.report = fopen(report.c_str(), "w");
    if (out.report == nullptr) {
      fprintf(stderr, "cannot write %s\n", report.c_str());
      return 1;
    }
  }
  out.Print("# TEVRO host benchmarks\n\n");
  out.Print("Machine: %s, %ld processors online.", CpuModel().c_str(),
            sysconf(_SC_NPROCESSORS_ONLN));
  if (!note.empty()) out.Print(" %s", note.c_str());
  out.Print("\n");
  PrintSessionTable(out);
  PrintRequestTable(out);
  PrintEepromTable(out);
  PrintReadyWaitTable(out);
  PrintCostTable(out, !countsOnly);
  PrintScanTable(out, !countsOnly);
  if (out.report != nullptr) fclose(out.report);
  return 0;
}
