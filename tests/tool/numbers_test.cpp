// The strict 32-bit parsing of identity values, device numbers and times.
#include <gmock/gmock.h>

#include "numbers.h"

using ::testing::HasSubstr;

namespace {

struct Accepted {
  const char* text;
  uint32_t value;
};

void PrintTo(const Accepted& a, std::ostream* os) { *os << '"' << a.text << '"'; }

class ParseAccepted : public ::testing::TestWithParam<Accepted> {};

TEST_P(ParseAccepted, GivesTheValue) {
  uint32_t value = 0xDEADBEEF;
  std::string why;
  ASSERT_TRUE(tevro_tool::ParseU32(GetParam().text, &value, &why)) << why;
  EXPECT_EQ(value, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, ParseAccepted,
    ::testing::Values(Accepted{"0", 0u}, Accepted{"7", 7u}, Accepted{"12345", 12345u},
                      Accepted{"4294967295", 0xFFFFFFFFu}, Accepted{"0x0", 0u},
                      Accepted{"0X1a", 0x1Au}, Accepted{"0xdeadBEEF", 0xDEADBEEFu},
                      Accepted{"0xFFFFFFFF", 0xFFFFFFFFu}, Accepted{"0x00000000FF", 0xFFu}));

struct Refused {
  const char* text;
  const char* reason;  // words the message must contain
};

void PrintTo(const Refused& r, std::ostream* os) { *os << '"' << r.text << '"'; }

class ParseRefused : public ::testing::TestWithParam<Refused> {};

TEST_P(ParseRefused, LeavesTheValueAndSaysWhy) {
  uint32_t value = 0xDEADBEEF;
  std::string why;
  EXPECT_FALSE(tevro_tool::ParseU32(GetParam().text, &value, &why));
  EXPECT_EQ(value, 0xDEADBEEFu);
  EXPECT_THAT(why, HasSubstr(GetParam().reason));
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, ParseRefused,
    ::testing::Values(Refused{"", "empty"}, Refused{"-1", "sign"}, Refused{"+5", "sign"},
                      Refused{"-0x1", "sign"}, Refused{" 5", "position 1"},
                      Refused{"5 ", "position 2"}, Refused{"1 2", "position 2"},
                      Refused{"4294967296", "32 bits"}, Refused{"99999999999999999999", "32 bits"},
                      Refused{"0x100000000", "32 bits"}, Refused{"0x", "no hex digits"},
                      Refused{"0xg1", "not a hex"}, Refused{"12a", "position 3"},
                      Refused{"1.0", "position 2"}, Refused{"1e3", "position 2"},
                      Refused{"007", "leading zero"}, Refused{"00", "leading zero"},
                      Refused{"0b101", "leading zero"}, Refused{"0x1 ", "position 4"},
                      Refused{"\t1", "position 1"}, Refused{"1\n", "position 2"}));

}  // namespace
