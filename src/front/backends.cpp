// The backend tables: one entry per member of Backend, in its order.
#include "front/backends.h"

#include "bridge/bridge.h"
#include "driverport/driverport.h"

const Backend kBridgeBackend = {
    BridgeOpenInterface,       // openSession
    BridgeCloseInterface,      // closeSession
    BridgeKick,                // kick
    BridgeRelease,             // release
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
    BridgeScan,                // scan
    BridgeSettle,              // settle
    BridgeQuiesce,             // quiesce
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
    PortScan,                // scan
    PortSettle,              // settle
    PortQuiesce,             // quiesce
    PortDetach,              // detach
};
