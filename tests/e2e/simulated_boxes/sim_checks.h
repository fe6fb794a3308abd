// The checks of the simulated world: the stand-in port driver and the stand-in ftd2xx.dll,
// each driven as an application drives the real thing, with the control tool in between.
#ifndef TESTS_E2E_SIMULATED_BOXES_SIM_CHECKS_H
#define TESTS_E2E_SIMULATED_BOXES_SIM_CHECKS_H

#include <stdint.h>

#include <string>

namespace e2e {

// Checks of the port driver; `simctl` is the control tool's path.
void PortChecks(const std::string& simctl);

// Checks of the stand-in ftd2xx.dll (loaded from the system folder).
void BridgeChecks(const std::string& simctl);

// Checks of the session the runner provides (real, modal message boxes).
void WindowChecks();

// The parts a second process plays (sim_check --child ROLE ARGS); returns the exit status.
int ChildMain(int argc, char** argv);

// Child role "port-kick N": one drawer write to box N; 0 when it succeeded.
int PortKickChild(uint32_t box);

}  // namespace e2e

#endif  // TESTS_E2E_SIMULATED_BOXES_SIM_CHECKS_H
