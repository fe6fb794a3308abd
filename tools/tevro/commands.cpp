#include "commands.h"

#include <string.h>

#include <algorithm>

#include "trace_setting.h"

#include "common/trace_path.h"

namespace tevro_tool {

namespace {

int CannotOpen(const Context& context, uint8_t box) {
  context.Err(
      Format("tevro: box %u could not be opened (no box with that number, or it does "
             "not answer)\n",
             box));
  return kExitFailed;
}

int Interrupted(const Context& context, const char* what) {
  context.Err(Format("tevro: interrupted %s; box closed\n", what));
  return kExitFailed;
}

// Waits with messages dispatched, at most 'ms' and at most until 'remaining' runs out.
uint32_t PollWait(uint32_t pollMs, bool hasTimeout, uint64_t elapsed, uint32_t timeoutMs) {
  if (!hasTimeout) return pollMs;
  uint64_t left = timeoutMs > elapsed ? timeoutMs - elapsed : 0;
  return static_cast<uint32_t>(std::min<uint64_t>(pollMs, left));
}

// After a kick: reads the switch until it reports the drawer closed, the timeout runs out
// or the run is interrupted.
int WaitForClose(const Context& context, const CommandLine& line) {
  context.Out(
      Format("waiting up to %s for the drawer to close\n", Seconds(line.timeoutMs).c_str()));
  const uint64_t start = context.NowMs();
  bool everRead = false;
  bool seenOpen = false;
  for (;;) {
    SwitchReading reading = ReadSwitch(context.api());
    uint64_t elapsed = context.NowMs() - start;
    if (reading.read) {
      everRead = true;
      if (reading.state == line.closedState) {
        context.Out(seenOpen ? "drawer closed again after " + Seconds(elapsed) + "\n"
                             : "drawer reported closed (it was not seen open)\n");
        return kExitOk;
      }
      seenOpen = true;
    }
    if (context.Interrupted()) return Interrupted(context, "while waiting for the drawer");
    if (elapsed >= line.timeoutMs) {
      context.Err(everRead ? "tevro: the drawer was still open after " + Seconds(elapsed) + "\n"
                           : "tevro: the switch could not be read for " + Seconds(elapsed) + "\n");
      return kExitFailed;
    }
    context.Pump(PollWait(line.pollMs, true, elapsed, line.timeoutMs));
  }
}

// Why the current user's TraceFile value is not the one in force, for check's trace line;
// "" when there is none or it is.
std::string PassedOverText(const TraceInForce& trace) {
  const std::string& path = trace.userValuePassedOver;
  if (path.empty()) return "";
  if (trace.passedOverElevated) {
    return "this program runs elevated: the current user's value, " + path + ", is not read";
  }
  return path + " (" + ScopeTitle(TraceScope::kUser) + ") " + TracePathProblem(path.c_str()) +
         ": not a file on a disk";
}

// One table row of 'list'.
std::string ListRow(uint8_t n, const Firmware& firmware, Variant byNumber,
                    const IdentityRecord& record) {
  Variant variant = firmware.variant != Variant::kUnknown ? firmware.variant : byNumber;
  return Format("%4u  %-12s %-10s %12u %12u %10u\n", n, VariantName(variant),
                firmware.read ? firmware.text.c_str() : "-", record.serialNumber, record.mfgDate,
                record.openCount);
}

}  // namespace

int RunList(const Context& context) {
  const TevroApi& api = context.api();
  const uint32_t counts = api.GetNumPos();
  const uint32_t bridges = (counts >> 8) & 0xFF;
  const uint32_t ports = counts & 0xFF;
  context.Out(Format("boxes found: %u bridge, %u driver-port\n", bridges, ports));
  if (bridges + ports == 0) {
    context.Err("tevro: no box found\n");
    return kExitFailed;
  }
  context.Out(Format("%4s  %-12s %-10s %12s %12s %10s\n", "box", "variant", "firmware", "serial",
                     "mfg date", "openings"));
  int status = kExitOk;
  for (uint32_t n = 0; n < bridges + ports && n <= 255; ++n) {
    if (context.Interrupted()) return Interrupted(context, "while listing");
    const uint8_t box = static_cast<uint8_t>(n);
    OpenBox session(api, box);
    if (!session.opened()) {
      context.Out(
          Format("%4u  %-12s does not answer\n", n, VariantName(VariantByNumber(box, counts))));
      status = kExitFailed;
      continue;
    }
    Firmware firmware = ReadFirmware(api);
    IdentityRecord record = ReadIdentity(api);
    if (!record.confirmed) {
      context.Out(Format("%4u  %-12s identity record could not be read\n", n,
                         VariantName(VariantByNumber(box, counts))));
      status = kExitFailed;
      continue;
    }
    context.Out(ListRow(box, firmware, VariantByNumber(box, counts), record));
  }
  return status;
}

int RunKick(const Context& context, const CommandLine& line) {
  const TevroApi& api = context.api();
  OpenBox session(api, line.box);
  if (!session.opened()) return CannotOpen(context, line.box);
  const char* variant = VariantName(VariantByNumber(line.box, api.GetNumPos()));
  if (api.KasseOpen() == 0) {
    context.Err(Format("tevro: box %u (%s) did not take the kick\n", line.box, variant));
    return kExitFailed;
  }
  context.Out(Format("box %u (%s): drawer kicked\n", line.box, variant));
  // Lets the pulse timer end the pulse; the close ends it as well if this is cut short or
  // skipped: it waits out the rest of the pulse first.
  if (!line.closeAtOnce) context.Pump(kPulseDispatchMs);
  if (context.Interrupted()) return Interrupted(context, "after the kick");
  context.Out(Format("openings: %u this session, %u in all (written to the box at close)\n",
                     api.GetLocalOpenCnt(), api.GetTotalOpenCnt()));
  if (!line.wait) return kExitOk;
  return WaitForClose(context, line);
}

int RunSwitch(const Context& context, const CommandLine& line) {
  const TevroApi& api = context.api();
  OpenBox session(api, line.box);
  if (!session.opened()) return CannotOpen(context, line.box);
  SwitchReading last = ReadSwitch(api);
  if (!line.watch) {
    if (!last.read) {
      context.Err(Format("tevro: the switch of box %u could not be read\n", line.box));
      return kExitFailed;
    }
    context.Out(
        Format("box %u switch: %s\n", line.box, SwitchText(last, line.closedState).c_str()));
    return kExitOk;
  }

  if (line.hasTimeout) {
    context.Out(Format("watching the switch of box %u for %s (Ctrl+C stops)\n", line.box,
                       Seconds(line.timeoutMs).c_str()));
  } else {
    context.Out(Format("watching the switch of box %u until Ctrl+C\n", line.box));
  }
  const uint64_t start = context.NowMs();
  context.Out(Format("+%s  %s\n", Seconds(0).c_str(), SwitchText(last, line.closedState).c_str()));
  bool readFailed = !last.read;
  unsigned changes = 0;
  const char* ending = "timeout";
  for (;;) {
    uint64_t elapsed = context.NowMs() - start;
    if (context.Interrupted()) {
      ending = "Ctrl+C";
      break;
    }
    if (line.hasTimeout && elapsed >= line.timeoutMs) break;
    context.Pump(PollWait(line.pollMs, line.hasTimeout, elapsed, line.timeoutMs));
    if (context.Interrupted()) {
      ending = "Ctrl+C";
      break;
    }
    SwitchReading reading = ReadSwitch(api);
    if (!reading.read) readFailed = true;
    if (reading.read != last.read || (reading.read && reading.state != last.state)) {
      ++changes;
      context.Out(Format("+%s  %s\n", Seconds(context.NowMs() - start).c_str(),
                         SwitchText(reading, line.closedState).c_str()));
    }
    last = reading;
  }
  context.Out(Format("watch ended (%s) after %s, %u change%s\n", ending,
                     Seconds(context.NowMs() - start).c_str(), changes, changes == 1 ? "" : "s"));
  if (readFailed) {
    context.Err(Format("tevro: the switch of box %u could not be read at times\n", line.box));
    return kExitFailed;
  }
  return kExitOk;
}

int RunIdentity(const Context& context, const CommandLine& line) {
  const TevroApi& api = context.api();
  OpenBox session(api, line.box);
  if (!session.opened()) return CannotOpen(context, line.box);
  IdentityRecord record = ReadIdentity(api);
  if (!record.confirmed) {
    context.Err(
        Format("tevro: the identity record of box %u could not be read (a field read 0 "
               "and the box gave no switch reading afterwards)\n",
               line.box));
    return kExitFailed;
  }
  context.Out(Format("box %u identity record\n", line.box));
  context.Out("  serial number         " + DecimalAndHex(record.serialNumber) + "\n");
  context.Out("  manufacturing date    " + DecimalAndHex(record.mfgDate) + "\n");
  context.Out("  stored opening count  " + DecimalAndHex(record.openCount) + "\n");
  return kExitOk;
}

int RunWrite(const Context& context, const CommandLine& line) {
  const TevroApi& api = context.api();
  OpenBox session(api, line.box);
  if (!session.opened()) return CannotOpen(context, line.box);
  const char* title = FieldTitle(line.field);
  const uint32_t before = GetField(api, line.field);
  if (!SetField(api, line.field, line.value)) {
    context.Err(Format("tevro: writing the %s of box %u failed\n", title, line.box));
    return kExitFailed;
  }
  // The library does not verify every write on the wire; the read-back does.
  const uint32_t after = GetField(api, line.field);
  if (after != line.value) {
    context.Err(Format("tevro: box %u reads back %s %s, not the %s written\n", line.box, title,
                       DecimalAndHex(after).c_str(), DecimalAndHex(line.value).c_str()));
    return kExitFailed;
  }
  context.Out(Format("box %u %s: %s -> %s\n", line.box, title, DecimalAndHex(before).c_str(),
                     DecimalAndHex(after).c_str()));
  return kExitOk;
}

int RunCheck(const Context& context, const CommandLine& line) {
  const TevroApi& api = context.api();
  context.Out(Format("health check of box %u\n", line.box));
  int failedSteps = 0;
  auto step = [&](const char* name, const char* result, const std::string& detail) {
    std::string text = Format("  %-16s %s", name, result);
    if (!detail.empty()) text += std::string(9 - std::min<size_t>(8, strlen(result)), ' ') + detail;
    context.Out(text + "\n");
  };
  auto check = [&](const char* name, bool ok, const std::string& detail) {
    if (!ok) ++failedSteps;
    step(name, ok ? "ok" : "failed", detail);
  };

  OpenBox session(api, line.box);
  check("open", session.opened(),
        session.opened() ? Format("box %u", line.box) : std::string("box does not answer"));
  const char* remaining[] = {"firmware", "switch", "identity record"};
  size_t done = 0;
  if (session.opened() && !context.Interrupted()) {
    Firmware firmware = ReadFirmware(api);
    check("firmware", firmware.read,
          firmware.read ? firmware.text + " (" + VariantName(firmware.variant) + " box)"
                        : std::string("no answer"));
    ++done;
  }
  if (session.opened() && !context.Interrupted()) {
    SwitchReading reading = ReadSwitch(api);
    check("switch", reading.read, SwitchText(reading, 0));
    ++done;
  }
  if (session.opened() && !context.Interrupted()) {
    IdentityRecord record = ReadIdentity(api);
    check("identity record", record.confirmed,
          record.confirmed ? Format("serial %u, date %u, openings %u", record.serialNumber,
                                    record.mfgDate, record.openCount)
                           : std::string("a field read 0 and the box did not answer after"));
    ++done;
  }
  const bool interrupted = context.Interrupted();
  for (size_t i = done; i < sizeof remaining / sizeof remaining[0]; ++i) {
    step(remaining[i], "skipped", interrupted ? "interrupted" : "");
  }
  check("close", session.Close(), "");
  // Not a step of the box: where the field trace of the library this program loaded goes,
  // for the support person.
  TraceInForce trace = FindTraceOfThisProgram(context.host());
  const std::string passedOver = PassedOverText(trace);
  auto detail = [&](const std::string& text) {
    if (passedOver.empty() || text.empty()) return text + passedOver;
    return text + "; " + passedOver;
  };
  const char* problem =
      trace.status == HostStatus::kOk ? TracePathProblem(trace.path.c_str()) : nullptr;
  if (problem != nullptr) {
    step(
        "trace", "off",
        detail(trace.path + " (" + SourceTitle(trace) + ") " + problem + ": not a file on a disk"));
  } else if (trace.status == HostStatus::kOk) {
    step("trace", "on", detail(trace.path + " (" + SourceTitle(trace) + ")"));
  } else if (trace.status == HostStatus::kAbsent) {
    step("trace", "off", detail(""));
  } else {
    step("trace", "unknown", "the setting could not be read: " + trace.error);
  }
  if (interrupted) return Interrupted(context, "during the health check");
  if (failedSteps == 0) {
    context.Out("result: ok\n");
    return kExitOk;
  }
  context.Out(Format("result: %d step%s failed\n", failedSteps, failedSteps == 1 ? "" : "s"));
  return kExitFailed;
}

}  // namespace tevro_tool
