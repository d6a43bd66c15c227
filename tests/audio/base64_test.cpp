#include "audio/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "audio/event_lines.h"

namespace zt {
namespace {

std::string encode(const std::string& text) { return base64Encode(text.data(), text.size()); }

TEST(Base64, MatchesTheRfc4648Vectors) {
  EXPECT_EQ(encode(""), "");
  EXPECT_EQ(encode("f"), "Zg==");
  EXPECT_EQ(encode("fo"), "Zm8=");
  EXPECT_EQ(encode("foo"), "Zm9v");
  EXPECT_EQ(encode("foob"), "Zm9vYg==");
  EXPECT_EQ(encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
}

TEST(Base64, UsesTheStandardAlphabetForHighBytes) {
  const std::vector<uint8_t> bytes = {0xFB, 0xFF, 0xBF, 0x00, 0x10, 0x83};
  EXPECT_EQ(base64Encode(bytes.data(), bytes.size()), "+/+/ABCD");
}

TEST(Base64, RoundTripsEverySizeUpToAFullAudioSliceWithoutLineBreaks) {
  std::mt19937 random(7);
  std::vector<uint8_t> bytes(3200);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  for (size_t size : {1u, 2u, 3u, 4u, 5u, 57u, 76u, 77u, 1000u, 3199u, 3200u}) {
    const std::string text = base64Encode(bytes.data(), size);
    EXPECT_EQ(text.size(), (size + 2) / 3 * 4) << size;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << size;
    const auto decoded = test::base64Decode(text);
    ASSERT_TRUE(decoded.has_value()) << size;
    EXPECT_EQ(*decoded, std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(size)));
  }
  // A full slice of 3200 bytes is 4268 characters.
  EXPECT_EQ(base64Encode(bytes.data(), 3200).size(), 4268u);
}

}  // namespace
}  // namespace zt
