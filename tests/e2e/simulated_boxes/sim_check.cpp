// sim_check: checks that the simulated world works under Wine as a Windows program sees it.
//   sim_check SIMCTL_PATH        runs every check; prints PASS/FAIL lines and a summary
//   sim_check --child ROLE ...   one part played in a second process (roles: see
//                                stand_in_ftd2xx_checks.cpp)
#include <stdio.h>
#include <string.h>

#include "sim_checks.h"
#include "support/check_support.h"

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "--child") == 0) return e2e::ChildMain(argc - 2, argv + 2);
  if (argc != 2) {
    fprintf(stderr, "usage: sim_check SIMCTL_PATH\n");
    return 2;
  }
  const std::string simctl = argv[1];
  e2e::WindowChecks();
  e2e::PortChecks(simctl);
  e2e::BridgeChecks(simctl);
  return e2e::Summary();
}
