// The backend tables: one entry per member of Backend, in its order.
#include "front/backends.h"

#include "bridge/bridge.h"
#include "driverport/driverport.h"

const Backend kBridgeBackend = {
    "bridge",
    BoxKind::kBridge,      // kind
    true,                  // lastSwitchStands
    BridgeOpenInterface,   // openSession
    BridgeCloseInterface,  // closeSession
    BridgeKick,            // kick
    nullptr,               // release: the box times its own pulse
    BridgeReadSwitch,      // readSwitch
    BridgeFirmwareText,    // firmwareText
    BridgeReadField,       // readField
    BridgeWriteField,      // writeField
    BridgeHoldBox,         // holdBox
    BridgeLetGo,           // letGo
    BridgeScan,            // scan
    nullptr,               // finishOverdue
    nullptr,               // completePulse
    BridgeDetach,          // detach
};

const Backend kPortBackend = {
    "port",
    BoxKind::kPort,     // kind
    false,              // lastSwitchStands
    PortOpenSession,    // openSession
    PortCloseSession,   // closeSession
    PortKick,           // kick
    PortRelease,        // release
    PortReadSwitch,     // readSwitch
    PortFirmwareText,   // firmwareText
    PortReadField,      // readField
    PortWriteField,     // writeField
    PortHoldBox,        // holdBox
    PortLetGo,          // letGo
    PortScan,           // scan
    PortFinishOverdue,  // finishOverdue
    PortCompletePulse,  // completePulse
    PortDetach,         // detach
};

const Backend* const kBackends[2] = {&kPortBackend, &kBridgeBackend};
