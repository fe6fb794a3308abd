// The backend tables: one entry per member of Backend, in its order.
#include "front/backends.h"

#include "bridge/bridge.h"
#include "driverport/driverport.h"

const Backend kBridgeBackend = {
    BridgeOpenInterface,       // openSession
    BridgeCloseInterface,      // closeSession
    BridgeKick,                // kick
    nullptr,                   // release: the box times its own pulse
    BridgeGetSwitch,           // getSwitch
    BridgeGetFirmWareVersion,  // getFirmWareVersion
    BridgeGetLastOpenCnt,      // getLastOpenCnt
    BridgeGetLocalOpenCnt,     // getLocalOpenCnt
    BridgeGetTotalOpenCnt,     // getTotalOpenCnt
    BridgeGetSerialNumber,     // getSerialNumber
    BridgeGetMfgDate,          // getMfgDate
    BridgeSetSerialNumber,     // setSerialNumber
    BridgeSetMfgDate,          // setMfgDate
    BridgeSetLastOpenCnt,      // setLastOpenCnt
    BridgeHoldBox,             // holdBox
    BridgeLetGo,               // letGo
    BridgeReadHeldCounter,     // readHeldCounter
    BridgeWriteHeldCounter,    // writeHeldCounter
    BridgeCachedCounter,       // cachedCounter
    BridgeScan,                // scan
    nullptr,                   // settle
    nullptr,                   // completePulse
    BridgeDetach,              // detach
};

const Backend kPortBackend = {
    PortOpenSession,         // openSession
    PortCloseSession,        // closeSession
    PortKick,                // kick
    PortRelease,             // release
    PortGetSwitch,           // getSwitch
    PortGetFirmWareVersion,  // getFirmWareVersion
    PortGetLastOpenCnt,      // getLastOpenCnt
    PortGetLocalOpenCnt,     // getLocalOpenCnt
    PortGetTotalOpenCnt,     // getTotalOpenCnt
    PortGetSerialNumber,     // getSerialNumber
    PortGetMfgDate,          // getMfgDate
    PortSetSerialNumber,     // setSerialNumber
    PortSetMfgDate,          // setMfgDate
    PortSetLastOpenCnt,      // setLastOpenCnt
    PortHoldBox,             // holdBox
    PortLetGo,               // letGo
    PortReadHeldCounter,     // readHeldCounter
    PortWriteHeldCounter,    // writeHeldCounter
    PortCachedCounter,       // cachedCounter
    PortScan,                // scan
    PortSettle,              // settle
    PortCompletePulse,       // completePulse
    PortDetach,              // detach
};

const Backend* const kBackends[2] = {&kPortBackend, &kBridgeBackend};
