// Which security texts let programs other than the owner, SYSTEM and the administrators
// change an object's security: those the library takes for a squatter's.
#include <gtest/gtest.h>

#include "common/object_security.h"

namespace {

TEST(ObjectSecurityTest, OnlyAnAccessListThatKeepsOthersFromChangingSecurityIsSound) {
  const struct {
    const char* sddl;
    bool lets;
  } cases[] = {
      {"D:(A;;GA;;;SY)(A;;GA;;;OW)(A;;0x00120001;;;WD)S:(ML;;NW;;;LW)", false},  // the library's
      {"D:(A;;GA;;;WD)", true},
      {"D:(A;;0x001A0001;;;WD)", true},                     // WRITE_OWNER among the rights
      {"D:(A;;0x00160001;;;WD)", true},                     // WRITE_DAC among them
      {"D:(A;OICIIO;GA;;;WD)(A;;0x00120001;;;WD)", false},  // only inherited below the object
      {"D:(D;;GA;;;WD)", false},                            // a deny entry
      {"O:S-1-5-21-7D:(A;;GA;;;S-1-5-21-7)", false},        // the owner itself
      {"D:(A;;GA;;;BA)(A;;WDWO;;;SY)", false},              // the administrators and SYSTEM
      {"O:BA", true},                                       // no access list
      {"D:NO_ACCESS_CONTROL", true},                        // a null one
      {"D:(A;;0x00120001;;;WD)X", true},                    // more than the library reads
      {"D:(A;;GA;;WD)", true},                              // an entry it cannot read
  };
  for (const auto& c : cases) EXPECT_EQ(LetsOthersChangeSecurity(c.sddl), c.lets) << c.sddl;
}

}  // namespace
