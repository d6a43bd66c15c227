// Event serialization: compact JSON that any JSON reader reads back.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "output/event.h"

namespace zt {
namespace {

TEST(SerializeEvent, CompactAndEscaped) {
  EXPECT_EQ(serializeEvent({}), "{}");
  EXPECT_EQ(serializeEvent({{"event", "state"}, {"state", "ended"}}),
            "{\"event\":\"state\",\"state\":\"ended\"}");
  const std::string tricky = "q\"b\\n\nr\rt\tb\bf\f\x01\x1f end \xc3\xa9 \xf0\x9f\x8e\xb5";
  const auto json = serializeEvent({{"event", "x"}, {"value", tricky}});
  ASSERT_TRUE(json);
  EXPECT_EQ(json->find('\n'), std::string::npos);
  EXPECT_EQ(json->find(' '), json->find(" end"));  // only the spaces inside the value
  const auto parsed = nlohmann::json::parse(*json);
  EXPECT_EQ(parsed["value"], tricky);
}

TEST(SerializeEvent, RefusesTextThatIsNotUtf8) {
  for (const char* bad : {"\xff", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "ok\xe2\x82"}) {
    EXPECT_EQ(serializeEvent({{"event", bad}}), std::nullopt) << bad;
    EXPECT_EQ(serializeEvent({{bad, "x"}}), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace zt
