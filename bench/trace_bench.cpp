// What the field trace costs a cheap export call on the host: GetNumPos and GetLocalOpenCnt
// on a driver-port box with the trace off (no TraceFile value) and on (the value names a file
// of the stand-in, which keeps it in memory), and, given --untraced, the same calls of a build
// of the library from before the trace, loaded beside this one over the same stand-in.
//
//   trace_bench [--untraced=LIBRARY] [--rounds=N] [--batch=N] [--callgrind=FILE]
//               [--report=FILE] [--note=TEXT]
//       Each round times one batch of calls per call and configuration, the configurations
//       one after the other, so that a slower stretch of the machine meets all of them; the
//       figures are medians over the rounds, and the trace off is also held against the
//       untraced build round by round. FILE from --callgrind adds instructions per call; the
//       tables are appended to the --report file.
//   trace_bench [--untraced=LIBRARY] --fixed=N
//       N calls per call and configuration for valgrind --tool=callgrind
//       --collect-atstart=no --toggle-collect=trace_bench_measured_call
//       --dump-after=trace_bench_configuration_done; prints "label<TAB>N" per dump.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
#include "timing.h"
#include "world.h"

namespace {

const char kTraceFile[] = "C:\\trace\\bench.log";

struct Call {
  const char* name;
  uint32_t (*run)(const TevroApi& api);
};
const Call kCalls[] = {
    {"GetNumPos", [](const TevroApi& a) { return a.GetNumPos(); }},
    {"GetLocalOpenCnt", [](const TevroApi& a) { return a.GetLocalOpenCnt(); }},
};

struct Configuration {
  const char* name;  // "untraced build", "trace off", "trace on"
  const LoadedLibrary* library;
  bool traceOn;
};

std::string Label(const Call& call, const Configuration& c) {
  return std::string(call.name) + " [" + c.name + "]";
}

// The TraceFile value set or removed, and one call of this build made after the look-up
// interval, so that the timed calls find the trace as asked.
void SwitchTrace(const LoadedLibrary& current, bool on) {
  if (on) {
    hostwin::SetRegistryString(false, "Software\\TEVRO", "TraceFile", kTraceFile);
  } else {
    hostwin::DeleteRegistryValue(false, "Software\\TEVRO", "TraceFile");
  }
  hostwin::AdvanceMs(5000);
  current.api().GetNumPos();
}

double Percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<size_t>(p * static_cast<double>(samples.size() - 1) + 0.5)];
}

volatile uint32_t gSink;

extern "C" __attribute__((noinline)) uint32_t trace_bench_measured_call(const Call* call,
                                                                        const TevroApi* api) {
  uint32_t result = call->run(*api);
  gSink = result;  // something after the call: never a tail call, so the toggle nests
  return result;
}

extern "C" __attribute__((noinline)) void trace_bench_configuration_done(const char* label) {
  gSink = static_cast<uint32_t>(strlen(label));
}

struct Output {
  FILE* report = nullptr;
  void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

void Output::Print(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  fputs(text, stdout);
  if (report != nullptr) fputs(text, report);
}

bool TakeFlag(int* argc, char** argv, const char* name, std::string* value) {
  size_t length = strlen(name);
  for (int i = 1; i < *argc; ++i) {
    if (strncmp(argv[i], name, length) != 0 || (argv[i][length] != '=' && argv[i][length] != 0)) {
      continue;
    }
    *value = argv[i][length] == '=' ? argv[i] + length + 1 : "";
    for (int j = i; j + 1 < *argc; ++j) argv[j] = argv[j + 1];
    --*argc;
    return true;
  }
  return false;
}

std::map<std::string, std::pair<double, double>> ReadInstructions(const std::string& path) {
  std::map<std::string, std::pair<double, double>> out;
  ReadInstructionTable(path, &out);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string untraced, rounds = "200", batch = "1000", fixed, callgrind, report, note;
  TakeFlag(&argc, argv, "--untraced", &untraced);
  TakeFlag(&argc, argv, "--rounds", &rounds);
  TakeFlag(&argc, argv, "--batch", &batch);
  bool fixedMode = TakeFlag(&argc, argv, "--fixed", &fixed);
  TakeFlag(&argc, argv, "--callgrind", &callgrind);
  TakeFlag(&argc, argv, "--report", &report);
  TakeFlag(&argc, argv, "--note", &note);
  if (argc > 1) {
    fprintf(stderr, "trace_bench: unknown argument %s\n", argv[1]);
    return 2;
  }

  // One driver-port box, no D2XX library; the trace's folder exists.
  BuildWorld(WorldSpec{false, 0, 1});
  hostwin::AddFolder("C:\\trace");
  hostwin::SetTraceEnabled(false);
  LoadedLibrary current;
  std::unique_ptr<LoadedLibrary> before;
  if (!untraced.empty()) before.reset(new LoadedLibrary(untraced));
  for (const LoadedLibrary* library : {&current, before.get()}) {
    if (library == nullptr) continue;
    if (!library->ok()) {
      fprintf(stderr, "trace_bench: %s\n", library->error().c_str());
      return 1;
    }
    library->api().OpenPosInterface(0);  // GetLocalOpenCnt with a box open
  }
  std::vector<Configuration> configurations;
  if (before) configurations.push_back({"untraced build", before.get(), false});
  configurations.push_back({"trace off", &current, false});
  configurations.push_back({"trace on", &current, true});

  if (fixedMode) {
    const uint32_t n = static_cast<uint32_t>(atoi(fixed.c_str()));
    for (const Call& call : kCalls) {
      for (const Configuration& c : configurations) {
        SwitchTrace(current, c.traceOn);
        call.run(c.library->api());  // one first, outside the count
        for (uint32_t i = 0; i < n; ++i) trace_bench_measured_call(&call, &c.library->api());
        trace_bench_configuration_done(Label(call, c).c_str());
        printf("%s\t%u\n", Label(call, c).c_str(), n);
        fflush(stdout);
      }
    }
    return 0;
  }

  const int roundCount = std::max(1, atoi(rounds.c_str()));
  const uint32_t batchSize = static_cast<uint32_t>(std::max(1, atoi(batch.c_str())));
  const double clockNs = ClockPairNs();
  std::map<std::string, std::vector<double>> samples;  // ns per call, by label
  std::map<std::string, std::vector<double>> paired;   // trace off - untraced, by call
  for (int round = 0; round < roundCount; ++round) {
    for (const Call& call : kCalls) {
      std::map<const char*, double> thisRound;
      for (const Configuration& c : configurations) {
        SwitchTrace(current, c.traceOn);
        const TevroApi& api = c.library->api();
        for (int warm = 0; warm < 10; ++warm) call.run(api);
        Clock::time_point t0 = Clock::now();
        for (uint32_t i = 0; i < batchSize; ++i) gSink = call.run(api);
        Clock::time_point t1 = Clock::now();
        const double ns = std::max(0.0, Ns(t1 - t0) - clockNs) / batchSize;
        samples[Label(call, c)].push_back(ns);
        thisRound[c.name] = ns;
      }
      if (before) paired[call.name].push_back(thisRound["trace off"] - thisRound["untraced build"]);
    }
  }

  std::map<std::string, std::pair<double, double>> instructions;
  if (!callgrind.empty()) instructions = ReadInstructions(callgrind);
  Output out;
  if (!report.empty() && (out.report = fopen(report.c_str(), "a")) == nullptr) {
    fprintf(stderr, "trace_bench: cannot write %s\n", report.c_str());
    return 1;
  }
  out.Print("\n## The field trace: cost per call\n\n");
  out.Print(
      "A cheap export on a driver-port box (one stand-in call at most: the trace's clock), "
      "%d rounds of %u calls per configuration, the configurations in turn in every round. ns: "
      "per call, median and quartiles over the rounds, the clock's cost (%.0f ns per batch) "
      "taken out. Trace on: one line per call appended to a file the stand-in keeps in memory "
      "(an open, a size look-up, a write and the closes; a real file costs more). Library "
      "Ir: instructions in the library's own code per call; total Ir: with the C runtime and "
      "the stand-in, from callgrind (exact). %s\n\n",
      roundCount, batchSize, clockNs, note.c_str());
  out.Print("| Call | Build | ns, median | ns, quartiles | Library Ir | Total Ir |\n");
  out.Print("|---|---|--:|--:|--:|--:|\n");
  for (const Call& call : kCalls) {
    for (const Configuration& c : configurations) {
      const std::string label = Label(call, c);
      const std::vector<double>& s = samples[label];
      char library[32] = "-", total[32] = "-";
      auto it = instructions.find(label);
      if (it != instructions.end()) {
        snprintf(library, sizeof library, "%.0f", it->second.first);
        snprintf(total, sizeof total, "%.0f", it->second.first + it->second.second);
      }
      out.Print("| %s | %s | %.1f | %.1f - %.1f | %s | %s |\n", call.name, c.name,
                Percentile(s, 0.5), Percentile(s, 0.25), Percentile(s, 0.75), library, total);
    }
  }
  if (before) {
    out.Print("\nTrace off against the untraced build (%s), round by round:\n\n", untraced.c_str());
    for (const Call& call : kCalls) {
      const std::vector<double>& d = paired[call.name];
      out.Print("- %s: %+.2f ns per call at the median (quartiles %+.2f to %+.2f)\n", call.name,
                Percentile(d, 0.5), Percentile(d, 0.25), Percentile(d, 0.75));
    }
  }
  if (out.report != nullptr) fclose(out.report);
  return 0;
}
