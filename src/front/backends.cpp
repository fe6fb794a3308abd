// The backend tables.
#include "front/backends.h"

#include "bridge/bridge.h"
#include "driverport/driverport.h"

namespace {

const PulseOps kPortPulse = {
    .release = PortRelease,
    .finishOverdue = PortFinishOverdue,
    .completePulse = PortCompletePulse,
};

}  // namespace

const Backend kBridgeBackend = {
    .name = "bridge",
    .kind = BoxKind::kBridge,
    .failedSwitchRead = FailedSwitchRead::kLastStateRead,
    .openSession = BridgeOpenInterface,
    .closeSession = BridgeCloseInterface,
    .kick = BridgeKick,
    .readSwitch = BridgeReadSwitch,
    .firmwareText = BridgeFirmwareText,
    .readField = BridgeReadField,
    .writeField = BridgeWriteField,
    .addToCounter = BridgeAddToCounter,
    .scan = BridgeScan,
    .pulse = nullptr,  // the box times its own pulse
    .detach = BridgeDetach,
};

const Backend kPortBackend = {
    .name = "port",
    .kind = BoxKind::kPort,
    .failedSwitchRead = FailedSwitchRead::kOpen,
    .openSession = PortOpenSession,
    .closeSession = PortCloseSession,
    .kick = PortKick,
    .readSwitch = PortReadSwitch,
    .firmwareText = PortFirmwareText,
    .readField = PortReadField,
    .writeField = PortWriteField,
    .addToCounter = PortAddToCounter,
    .scan = PortScan,
    .pulse = &kPortPulse,
    .detach = PortDetach,
};

const Backend* const kBackends[2] = {&kPortBackend, &kBridgeBackend};
