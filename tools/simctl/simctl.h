// simctl: the control tool of the simulated boxes. Shared parsing and output helpers.
#ifndef TOOLS_SIMCTL_SIMCTL_H
#define TOOLS_SIMCTL_SIMCTL_H

#include <stdint.h>

namespace simctl {

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the simulated world could not be reached or refused
constexpr int kExitUsage = 2;

// A number in C notation (decimal, 0x hex); false unless the whole text is one that fits.
bool ParseNumber(const char* text, uint32_t max, uint32_t* value);

// A byte in hex, with or without 0x ("1b", "0x1B"); false otherwise.
bool ParseHexByte(const char* text, uint8_t* value);

// Splits "key=value" into its parts (value points into text); false without '='.
bool SplitSetting(const char* text, char* key, uint32_t keySize, const char** value);

// Prints bytes as "1b 70 00".
void PrintHex(const uint8_t* data, uint32_t length);

// A microsecond time as milliseconds with three decimals.
void PrintMs(uint64_t timeUs);

int Usage(const char* problem);

int PortCommand(int argc, char** argv);    // argv[0] is the sub-command after "port"
int BridgeCommand(int argc, char** argv);  // argv[0] is the sub-command after "bridge"

}  // namespace simctl

#endif  // TOOLS_SIMCTL_SIMCTL_H
