// Every operation makes exactly the device requests the box protocol needs: the driver
// transfers, device opens and D2XX calls of one call, and the scan's figures in every world.
// Counts are deterministic, so any change (an extra request, a lost one) fails here.
#include <gtest/gtest.h>

#include "catalogue.h"

// Test names and failure messages show the operation's label.
void PrintTo(const Operation& op, std::ostream* os) { *os << op.Label(); }

static_assert(kFieldReadTransfers == 224, "the protocol's field read is 224 transfers");
static_assert(kFieldWriteTransfers == 289, "the protocol's field write is 289 transfers");
static_assert(kLibraryFieldReadTransfers == 119, "the library's field read is 119 transfers");
static_assert(LibraryFieldWriteTransfers(4) == 201, "the library's field write is 201");

namespace {

std::vector<Operation> AllOperations() {
  std::vector<Operation> ops = FunctionOperations();
  for (Operation& op : ScanOperations()) ops.push_back(op);
  return ops;
}

std::string TestName(const ::testing::TestParamInfo<Operation>& info) {
  std::string name;
  for (char c : info.param.Label()) {
    name += (isalnum(static_cast<unsigned char>(c)) != 0) ? c : '_';
  }
  return name + "_" + std::to_string(info.index);
}

class ProtocolRequests : public ::testing::TestWithParam<Operation> {};

TEST_P(ProtocolRequests, MatchTheProtocol) {
  const Operation& op = GetParam();
  Observation seen;
  std::string error;
  ASSERT_TRUE(Observe(op, &seen, &error)) << error;
  if (op.knownDifference) {
    // Held to the library's own figures, which must still differ from the protocol's:
    // once they agree the entry has to go.
    EXPECT_NE(op.library, op.protocol) << "the known difference is gone: " << op.why;
    EXPECT_EQ(Describe(seen.figures), Describe(op.library)) << op.why;
  } else {
    EXPECT_EQ(Describe(seen.figures), Describe(op.protocol));
  }
  EXPECT_EQ(hostwin::OpenDeviceHandles(), 0) << "a device handle outlived the call";
  EXPECT_EQ(hostwin::OpenBridgeHandles(), 0) << "a D2XX handle outlived the call";
}

INSTANTIATE_TEST_SUITE_P(Operations, ProtocolRequests, ::testing::ValuesIn(AllOperations()),
                         TestName);

const Operation& Find(const std::vector<Operation>& ops, const std::string& label) {
  for (const Operation& op : ops) {
    if (op.Label() == label) return op;
  }
  ADD_FAILURE() << "no operation " << label;
  static Operation none;
  return none;
}

// The field read and write split into the EEPROM instructions the library sends: one read
// for the field's four bytes (the part's sequential read), and a write of each byte between
// write enable and write disable, most significant byte first.
TEST(EepromInstructions, AFieldReadIsOneSequentialRead) {
  std::vector<Operation> ops = FunctionOperations();
  Observation seen;
  std::string error;
  ASSERT_TRUE(Observe(Find(ops, "GetSerialNumber [port]"), &seen, &error)) << error;
  std::vector<EepromInstruction> got = EepromInstructions(seen.calls);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].kind, "read");
  EXPECT_EQ(got[0].address, 4u);
  EXPECT_EQ(got[0].transfers, kLibraryFieldReadTransfers);
}

TEST(EepromInstructions, FieldWriteIsEnableFourByteWritesDisable) {
  std::vector<Operation> ops = FunctionOperations();
  Observation seen;
  std::string error;
  ASSERT_TRUE(Observe(Find(ops, "SetSerialNumber [port]"), &seen, &error)) << error;
  std::vector<EepromInstruction> got = EepromInstructions(seen.calls);
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[0].kind, "write enable");
  EXPECT_EQ(got[0].transfers, kLibraryWriteEnableTransfers);
  // Most significant byte first, so an interrupted write never lowers a counter; each with
  // its wait for ready, the instruction after it without a select.
  for (uint32_t i = 1; i <= 4; ++i) {
    EXPECT_EQ(got[i].kind, "write");
    EXPECT_EQ(got[i].address, 7 - (i - 1));
    EXPECT_EQ(got[i].transfers, kLibraryByteWriteTransfers - (i > 1 ? 1 : 0));
  }
  EXPECT_EQ(got[5].kind, "write disable");
  EXPECT_EQ(got[5].transfers, kLibraryWriteDisableTransfers - 1);
}

uint32_t ObservedRequests(const std::vector<Operation>& ops, const std::string& label) {
  Observation seen;
  std::string error;
  EXPECT_TRUE(Observe(Find(ops, label), &seen, &error)) << error;
  return seen.figures.Requests();
}

// The steps of a driver-port session held to their goals, each as its operation makes it alone.
TEST(SessionSteps, EachStepWithinItsGoal) {
  std::vector<Operation> ops = FunctionOperations();
  for (const SessionStep& step : SessionSteps()) {
    if (step.label.empty()) continue;
    EXPECT_LE(ObservedRequests(ops, step.label), step.goal) << step.name;
  }
}

// A whole session in one process makes what its steps make alone (the load is the scan, the
// close after the timer's release is the catalogue's close after a kick), within its goal.
TEST(SessionSteps, AWholeSessionIsItsStepsWithinItsGoal) {
  std::vector<Operation> ops = FunctionOperations();
  SessionRequests session;
  std::string error;
  ASSERT_TRUE(ObserveSession(&session, &error)) << error;
  EXPECT_EQ(session.load, ObservedRequests(ops, "ScanForPos [port]"));
  EXPECT_EQ(session.open, ObservedRequests(ops, "OpenPosInterface [port]"));
  EXPECT_EQ(session.kick, ObservedRequests(ops, "KasseOpen [port]"));
  EXPECT_EQ(session.release, ObservedRequests(ops, "pulse end (timer) [port]"));
  EXPECT_EQ(session.close, ObservedRequests(ops, "ClosePosInterface (after a kick) [port]"));
  const SessionStep whole = SessionSteps().back();
  ASSERT_TRUE(whole.label.empty());
  EXPECT_LE(session.Session(), whole.goal);
}

// The benchmarks count with the trace off: the stand-in's counters must agree with its trace.
TEST(StandInCounters, CountTheSameWithTheTraceOff) {
  std::vector<Operation> ops = FunctionOperations();
  for (const char* label : {"SetSerialNumber [port]", "GetSwitch [bridge]"}) {
    const Operation& op = Find(ops, label);
    Observation traced;
    std::string error;
    ASSERT_TRUE(Observe(op, &traced, &error)) << error;

    BuildWorld(op.world);
    LoadedLibrary library;
    ASSERT_TRUE(library.ok()) << library.error();
    if (op.prepare) op.prepare(library.api());
    hostwin::ClearTrace();
    hostwin::SetTraceEnabled(false);
    op.call(library.api(), 0);
    EXPECT_TRUE(hostwin::Trace().empty()) << label;
    EXPECT_EQ(RequestCount(), traced.figures.Requests()) << label;
    EXPECT_EQ(hostwin::CountCalls("CreateFileA"), traced.figures.deviceOpens) << label;
    size_t ftOpens = 0;
    for (const hostwin::TraceEntry& e : traced.calls) ftOpens += e.call == "FT_Open";
    EXPECT_EQ(hostwin::CountCalls("FT_Open"), ftOpens) << label;
  }
}

}  // namespace
