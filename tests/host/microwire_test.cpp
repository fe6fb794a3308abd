// The Microwire framing on its own: a pin port straight onto the simulated port box, no
// Win32 stand-in in between.
#include <gmock/gmock.h>

#include <functional>
#include <string>
#include <vector>

#include "driverport/microwire.h"
#include "models/port_box.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// The reads the tests make, from the framing's read steps as the library uses them.
uint8_t EepromReadByte(Microwire& bus, uint8_t address) {
  if (!EepromBeginRead(bus, address)) return 0;
  uint8_t value = EepromReadNextByte(bus);
  MicrowireEndInstruction(bus);
  return value;
}

void EepromReadBlock(Microwire& bus, uint8_t* destination, uint8_t start, uint8_t length) {
  if (!bus.state.active || length == 0) return;
  if (!EepromBeginRead(bus, start)) {
    for (uint8_t i = 0; i < length; ++i) destination[i] = 0;
    return;
  }
  for (uint8_t i = 0; i < length; ++i) destination[i] = EepromReadNextByte(bus);
  MicrowireEndInstruction(bus);
}

// The pins of a simulated port box, with the command and reply blocks a driver request
// carries and a log of the blocks sent, on a clock that each request moves on by requestUs
// and each pause by a millisecond.
struct BoxPins {
  sim::PortBox box;
  uint8_t command[sim::kPortCommandBytes] = {};
  uint8_t reply[sim::kPortReplyBytes] = {};
  std::vector<std::string> sent;
  std::function<bool(const uint8_t* command)> fails;  // true: the request fails
  uint64_t nowUs = 0;
  uint32_t requestUs = 0;
  uint32_t pauses = 0;
  uint32_t heldUpUs = 0;  // the next sample is held up this long, after the part answered it

  bool Request() {
    char text[12];
    snprintf(text, sizeof text, "%02x %02x %02x %02x", command[0], command[1], command[2],
             command[3]);
    sent.push_back(text);
    const uint64_t at = nowUs;
    nowUs += requestUs;
    if (fails && fails(command)) return false;
    return sim::PortBoxRequest(box, sim::kPortRequestCode, command, reply, at);
  }
  static bool Write(void* self, uint8_t pattern) {
    BoxPins& p = *static_cast<BoxPins*>(self);
    p.command[0] = 0x15;
    p.command[1] = 0x00;
    p.command[2] = pattern;
    return p.Request();
  }
  static bool Sample(void* self, uint8_t* replyByte) {
    BoxPins& p = *static_cast<BoxPins*>(self);
    p.command[0] = 0x14;
    bool ok = p.Request();
    *replyByte = p.reply[1];
    p.nowUs += p.heldUpUs;
    p.heldUpUs = 0;
    return ok;
  }
  static int64_t Now(void* self) {
    return static_cast<int64_t>(static_cast<BoxPins*>(self)->nowUs);
  }
  static void Pause(void* self) {
    BoxPins& p = *static_cast<BoxPins*>(self);
    p.nowUs += 1000;
    ++p.pauses;
  }
};

bool WriteBlock(Microwire& bus, const uint8_t* source, uint8_t start, uint8_t length) {
  if (!bus.state.active) return false;
  bool ok = true;
  for (uint8_t i = 0; i < length; ++i) {
    ok = EepromWriteByte(bus, static_cast<uint8_t>(start + i), source[i]) && ok;
  }
  return ok;
}

class MicrowireTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::PortBoxInit(pins_.box, 0xF3);
    MicrowireStart(bus_);
  }

  uint8_t* Memory() { return pins_.box.eeprom.memory; }
  size_t Requests() const { return pins_.sent.size(); }
  const std::vector<std::string>& Commands() const { return pins_.sent; }
  void ClearLog() { pins_.sent.clear(); }

  // Patterns of the pin writes sent, as numbers.
  std::vector<int> PinWrites() const {
    std::vector<int> out;
    for (const std::string& c : pins_.sent) {
      if (c.compare(0, 5, "15 00") == 0) out.push_back(std::stoi(c.substr(6, 2), nullptr, 16));
    }
    return out;
  }

  BoxPins pins_;
  size_t Looks() const {
    size_t looks = 0;
    for (const std::string& c : pins_.sent) looks += c.compare(0, 5, "14 00") == 0 ? 1 : 0;
    return looks;
  }

  Microwire bus_ = {{BoxPins::Write, BoxPins::Sample, BoxPins::Now, BoxPins::Pause, &pins_}, {}};
};

// In the order an operation sends them: a write leaves the part selected showing ready, so
// the instruction after it saves its select.
TEST_F(MicrowireTest, InstructionCostsInTransfers) {
  struct Case {
    const char* name;
    std::function<void(Microwire&)> send;
    size_t transfers;
  };
  const Case cases[] = {
      {"read", [](Microwire& b) { EepromReadByte(b, 3); }, 46},
      {"read of four bytes, one instruction",
       [](Microwire& b) {
         uint8_t four[4];
         EepromReadBlock(b, four, 3, 4);
       },
       118},
      {"write enable", [](Microwire& b) { EXPECT_TRUE(EepromWriteEnable(b)); }, 22},
      {"write, ready at the first look", [](Microwire& b) { EepromWriteByte(b, 3, 0x5A); }, 40},
      {"write right after a write", [](Microwire& b) { EepromWriteByte(b, 4, 0x5B); }, 39},
      {"write disable after a write", [](Microwire& b) { EepromWriteDisable(b); }, 21},
  };
  for (const Case& c : cases) {
    ClearLog();
    c.send(bus_);
    EXPECT_EQ(Requests(), c.transfers) << c.name;
  }
  EXPECT_EQ(Memory()[3], 0x5A);
  EXPECT_EQ(Memory()[4], 0x5B);
  EXPECT_FALSE(pins_.box.eeprom.writeEnabled);
}

// Each bit in two pin writes: the data with the clock going low, then the clock's rising
// edge with the data unchanged; a deselect first where the last may not have arrived.
TEST_F(MicrowireTest, WriteEnableWordGoesOutMostSignificantBitFirst) {
  bus_.state.unsure = true;
  EepromWriteEnable(bus_);
  std::vector<int> pins = PinWrites();
  ASSERT_EQ(pins.size(), 23u);
  EXPECT_EQ(pins[0], 0x40);
  EXPECT_EQ(pins[1], 0x48);
  EXPECT_THAT(std::vector<int>(pins.begin() + 2, pins.begin() + 4), ElementsAre(0x68, 0x78));
  const int dataIn[10] = {1, 0, 0, 1, 1, 0, 0, 0, 0, 0};
  for (int bit = 0; bit < 10; ++bit) {
    int base = 2 + 2 * bit;
    int level = dataIn[bit] ? 0x20 : 0;
    EXPECT_EQ(pins[base], 0x48 | level) << bit;
    EXPECT_EQ(pins[base + 1], 0x58 | level) << bit;
  }
  EXPECT_EQ(pins[22], 0x40);
  EXPECT_TRUE(pins_.box.eeprom.writeEnabled);
}

// After the word, each bit in: the clock low (data in dropped with it), the clock high, a
// sample; the part goes on into the following bytes while the clock runs.
TEST_F(MicrowireTest, ReadClocksEachBitWithTwoWritesAndASampleAndRunsOnIntoTheNextBytes) {
  Memory()[5] = 0xA5;
  Memory()[6] = 0x3C;
  uint8_t two[2] = {};
  EepromReadBlock(bus_, two, 5, 2);
  EXPECT_THAT(std::vector<uint8_t>(two, two + 2), ElementsAre(0xA5, 0x3C));
  ASSERT_EQ(Commands().size(), 70u);
  for (int bit = 0; bit < 16; ++bit) {
    EXPECT_EQ(Commands()[21 + 3 * bit], "15 00 48 00");
    EXPECT_EQ(Commands()[22 + 3 * bit], "15 00 58 00");
    EXPECT_EQ(Commands()[23 + 3 * bit], "14 00 58 00");
  }
  EXPECT_EQ(Commands()[69], "15 00 40 00");
  EXPECT_EQ(pins_.box.eeprom.executed[sim::kEepromRead], 1u);
}

TEST_F(MicrowireTest, AddressesKeepSevenBits) {
  EepromWriteEnable(bus_);
  EXPECT_TRUE(EepromWriteByte(bus_, 0x85, 0x33));
  EXPECT_EQ(Memory()[0x05], 0x33);
  Memory()[0x05] = 0x44;
  EXPECT_EQ(EepromReadByte(bus_, 0x85), 0x44);
}

TEST_F(MicrowireTest, BlocksRunOnFrom127To0AndAnEmptyBlockSendsNothing) {
  uint8_t none[1] = {0x77};
  EepromReadBlock(bus_, none, 10, 0);
  EXPECT_TRUE(WriteBlock(bus_, none, 10, 0));
  EXPECT_THAT(Commands(), IsEmpty());
  EXPECT_EQ(none[0], 0x77);

  const uint8_t data[4] = {1, 2, 3, 4};
  EepromWriteEnable(bus_);
  WriteBlock(bus_, data, 126, 4);
  EepromWriteDisable(bus_);
  const uint8_t* m = Memory();
  EXPECT_THAT(std::vector<uint8_t>({m[126], m[127], m[0], m[1]}), ElementsAre(1, 2, 3, 4));
  uint8_t back[4] = {};
  EepromReadBlock(bus_, back, 126, 4);
  EXPECT_THAT(std::vector<uint8_t>(back, back + 4), ElementsAre(1, 2, 3, 4));
}

TEST_F(MicrowireTest, AFailedSampleDropsTheBitsGatheredSoFar) {
  Memory()[7] = 0xFF;
  int samples = 0;
  pins_.fails = [&samples](const uint8_t* cmd) {
    return cmd[0] == 0x14 && ++samples == 8;  // the last of the eight samples fails
  };
  uint8_t value = EepromReadByte(bus_, 7);
  EXPECT_LE(value, 1);
  EXPECT_TRUE(bus_.state.failed);
}

TEST_F(MicrowireTest, ALostClockEdgeCannotTurnAWriteIntoEraseAll) {
  // Without its start bit, "write 0x42 to address 16" reads as ERAL followed by junk.
  for (uint32_t i = 0; i < sim::kEepromBytes; ++i) Memory()[i] = static_cast<uint8_t>(i);
  EepromWriteEnable(bus_);
  int pinWrites = 0;
  pins_.fails = [&pinWrites](const uint8_t* cmd) {
    return cmd[0] == 0x15 && ++pinWrites == 3;  // select, data 1, clock high: lost
  };
  EXPECT_FALSE(EepromWriteByte(bus_, 16, 0x42));
  EXPECT_TRUE(bus_.state.failed);
  EXPECT_EQ(pins_.box.eeprom.executed[sim::kEepromEral], 0u);
  EXPECT_EQ(Commands().back(), "15 00 40 00");  // abandoned with a deselect
  for (uint32_t i = 0; i < sim::kEepromBytes; ++i) {
    EXPECT_EQ(Memory()[i], static_cast<uint8_t>(i)) << i;
  }
  // The next operation works again.
  pins_.fails = nullptr;
  MicrowireStart(bus_);
  EXPECT_TRUE(EepromWriteByte(bus_, 16, 0x42));
  EXPECT_EQ(Memory()[16], 0x42);
}

TEST_F(MicrowireTest, AnInstructionAfterAFailedDeselectStartsWithOne) {
  Memory()[2] = 0x5A;
  pins_.fails = [](const uint8_t* cmd) {
    return cmd[0] == 0x15 && cmd[2] == 0x40;  // every deselect fails
  };
  EepromReadByte(bus_, 1);
  EXPECT_TRUE(bus_.state.unsure);
  pins_.fails = nullptr;
  MicrowireStart(bus_);
  ClearLog();
  EXPECT_EQ(EepromReadByte(bus_, 2), 0x5A);
  EXPECT_EQ(Requests(), 47u);
  EXPECT_EQ(Commands().front(), "15 00 40 00");
}

TEST_F(MicrowireTest, NothingIsSentOutsideAnOperation) {
  MicrowireStop(bus_);
  EXPECT_FALSE(EepromWriteEnable(bus_));
  EXPECT_FALSE(EepromWriteDisable(bus_));
  EXPECT_EQ(EepromReadByte(bus_, 1), 0);
  EXPECT_FALSE(EepromWriteByte(bus_, 1, 2));
  EXPECT_FALSE(MicrowireAwaitReady(bus_, true));
  uint8_t dest[2] = {9, 9};
  EepromReadBlock(bus_, dest, 0, 2);
  EXPECT_THAT(Commands(), IsEmpty());
  EXPECT_EQ(dest[0], 9);
}

// A byte write waits for the part, on the clock of the pins: looks back to back at first,
// then one a millisecond, until it shows ready; then the next instruction's start bit
// follows with no second select. A part that never gets ready is given up after 250 ms,
// deselected, and nothing more goes into it, not even the write disable.
TEST_F(MicrowireTest, AWriteWaitsUntilThePartShowsReady) {
  const struct {
    const char* name;
    uint32_t requestUs;
    uint32_t programUs;
    bool neverReady;
    bool written;
    size_t looks;
    uint32_t pauses;
    uint32_t heldUpUs;  // the wait's first look is held up this long
  } cases[] = {
      {"a millisecond a request, ready in 2 ms", 1000, 2000, false, true, 1, 0, 0},
      {"a millisecond a request, ready in 6 ms", 1000, 6000, false, true, 5, 0, 0},
      {"requests that take no time, ready in 3 ms", 0, 3000, false, true, 11, 3, 0},
      // The operation's waits end 250 ms after it began: write enable and the write took 60.
      {"never ready, a millisecond a request", 1000, 2000, true, false, 8 + 91, 91, 0},
      // This process not run for 300 ms inside the first look: the look after it decides.
      {"the first look held up past the limit, ready in 3 ms", 1000, 3000, false, true, 2, 0,
       300000},
      {"never ready, the first look held up past the limit", 1000, 2000, true, false, 2, 0, 300000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::PortBoxInit(pins_.box, 0xF3);
    pins_.box.eeprom.programUs = c.programUs;
    pins_.box.eeprom.neverReady = c.neverReady;
    pins_.requestUs = c.requestUs;
    pins_.pauses = 0;
    MicrowireStart(bus_);
    EepromWriteEnable(bus_);
    ClearLog();
    const uint64_t start = pins_.nowUs;
    pins_.heldUpUs = c.heldUpUs;
    EXPECT_EQ(EepromWriteByte(bus_, 9, 0x12), c.written);
    EXPECT_EQ(Looks(), c.looks);
    EXPECT_EQ(pins_.pauses, c.pauses);
    EXPECT_LE(pins_.nowUs - start, 300000u + c.heldUpUs);
    const size_t sent = Requests();
    EXPECT_EQ(EepromWriteDisable(bus_), c.written);
    if (c.written) {
      EXPECT_EQ(Memory()[9], 0x12);
      EXPECT_EQ(Commands()[sent], "15 00 68 00");  // the start bit, no select before it
      EXPECT_FALSE(pins_.box.eeprom.writeEnabled);
    } else {
      EXPECT_EQ(Requests(), sent);  // nothing sent into the busy part
      EXPECT_EQ(Commands().back(), "15 00 40 00");
      EXPECT_TRUE(bus_.state.stuck);
    }
    EXPECT_EQ(pins_.box.eeprom.ignoredWhileBusy, 0u);
    EXPECT_EQ(bus_.state.programming, !c.written);
  }
}

// A part already found stuck gets one look; and the framing's start keeps what it knows of
// a part that may be programming, so that the next operation waits for it first.
TEST_F(MicrowireTest, APartFoundStuckGetsOneLookAndProgrammingOutlivesTheOperation) {
  pins_.box.eeprom.neverReady = true;
  EepromWriteEnable(bus_);
  EXPECT_FALSE(EepromWriteByte(bus_, 9, 0x12));
  MicrowireStop(bus_);
  MicrowireStart(bus_);
  EXPECT_TRUE(bus_.state.programming);
  ClearLog();
  EXPECT_FALSE(MicrowireAwaitReady(bus_, false));
  EXPECT_EQ(Looks(), 1u);
  pins_.box.eeprom.neverReady = false;
  MicrowireStart(bus_);
  EXPECT_TRUE(MicrowireAwaitReady(bus_, false));
  EXPECT_FALSE(bus_.state.programming);
  EXPECT_TRUE(EepromWriteDisable(bus_));
  EXPECT_EQ(Memory()[9], 0xFF);
  EXPECT_EQ(pins_.box.eeprom.ignoredWhileBusy, 0u);
}

}  // namespace
