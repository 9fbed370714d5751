// When an arrival the socket ran dry on is held for the rest of its request.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/RowName.h"
#include "wire/RequestFraming.h"

namespace velmor::testing {
namespace {

struct FramingRow {
  const char* fault;
  std::vector<std::string> parts;  // the arrival as it grows, part by part
  std::string storedKey;
  bool awaits;  // after the last part
};

const FramingRow FramingRows[] = {
    {"a chat line without its separator yet", {"NormalTel\x82\xa9\x82\xa9"}, "k", true},
    {"a command word cut short", {"Norm"}, "", true},
    {"bytes no request begins with", {"xNormalTel"}, "k", false},
    {"a whole chat line", {"NormalTelhi/*/~key"}, "key", false},
    {"a key still short of the member's", {"NormalTelhi/*/~ke"}, "key", true},
    {"a key that differs from the member's", {"NormalTelhi/*/~kx"}, "key", false},
    {"a key longer than the member's", {"NormalTelhi/*/~keys"}, "key", false},
    {"a key before the member joined", {"NormalTelhi/*/~"}, "", false},
    {"a join, whatever its key", {"CanEnter?n/*/~k"}, "key", false},
    {"a fetch short of its key", {"/Reflesh//*/~ke"}, "key", true},
    {"a separator inside the fetch word", {"/Reflesh/*/~ke"}, "key", false},
    {"a separator across two parts", {"NormalTelhi/*", "NormalTelhi/*/~key"}, "key", false},
    {"a separator's start across two parts",
     {"NormalTelhi/", "NormalTelhi/*/~k", "NormalTelhi/*/~key"},
     "key",
     false},
    {"no separator within the characters a request allows",
     {"NormalTel" + std::string(2 * 32767 + 4, 'x')},
     "k",
     false},
};

class RequestFramingTable : public ::testing::TestWithParam<FramingRow> {};

TEST_P(RequestFramingTable, HoldsOnlyTheStartOfARequest) {
  RequestFraming framing;
  bool awaits = false;
  for (const auto& part : GetParam().parts) awaits = framing.AwaitsMore(part, GetParam().storedKey);
  EXPECT_EQ(awaits, GetParam().awaits);
}

INSTANTIATE_TEST_SUITE_P(Rows, RequestFramingTable, ::testing::ValuesIn(FramingRows),
                         [](const ::testing::TestParamInfo<FramingRow>& info) {
                           return RowName(info.param.fault);
                         });

}  // namespace
}  // namespace velmor::testing
