// Driver-port backend placeholder: no driver-port box answers yet. Every operation
// fails as it would with the box absent.
#include "driverport/driverport.h"

int32_t PortOpenSession(uint8_t) { return -1; }
int32_t PortCloseSession() { return 1; }
int32_t PortKick() { return 0; }
int32_t PortRelease() { return 0; }
int32_t PortGetSwitch(char* readFlag) {
  *readFlag = 0;
  return 0;
}
uint32_t PortGetLocalOpenCnt() { return 0; }
uint32_t PortGetTotalOpenCnt() { return 0; }
void PortGetFirmWareVersion(char*) {}
uint32_t PortGetLastOpenCnt() { return 0; }
uint32_t PortGetSerialNumber() { return 0; }
uint32_t PortGetMfgDate() { return 0; }
bool PortSetSerialNumber(uint32_t) { return false; }
bool PortSetMfgDate(uint32_t) { return false; }
bool PortSetLastOpenCnt(uint32_t) { return false; }
uint8_t PortScan() { return 0; }
void PortServiceOverduePulse() {}
PortSessionSnapshot PortSaveSession() { return PortSessionSnapshot{}; }
void PortRestoreSession(const PortSessionSnapshot&) {}
