// The property list embedded in the product executable, read back with
// standard binutils as any tool would.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace {

std::map<std::string, std::string> plistStrings(const std::string& xml) {
  std::map<std::string, std::string> entries;
  const std::regex pair(R"(<key>([^<]*)</key>\s*<string>([^<]*)</string>)");
  for (auto it = std::sregex_iterator(xml.begin(), xml.end(), pair); it != std::sregex_iterator(); ++it)
    entries[(*it)[1]] = (*it)[2];
  return entries;
}

TEST(EmbeddedPropertyList, CarriesEveryKey) {
  char dumped[] = "/tmp/zt-plist-XXXXXX";
  close(mkstemp(dumped));
  const std::string cmd =
      std::string("objcopy -O binary --only-section=.info_plist --dump-section .info_plist=") + dumped + " " +
      ZT_HELPER_PATH + " /dev/null";
  ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
  std::stringstream text;
  text << std::ifstream(dumped).rdbuf();
  unlink(dumped);
  const std::string xml = text.str();
  ASSERT_NE(xml.find("<plist version=\"1.0\">"), std::string::npos) << xml;
  // The section holds the file exactly as the sources have it.
  std::stringstream source;
  source << std::ifstream(ZT_SOURCE_DIR "/resources/Info.plist").rdbuf();
  EXPECT_EQ(xml, source.str());

  const auto entries = plistStrings(xml);
  EXPECT_EQ(entries.at("CFBundleName"), "Zentrell Audio Helper");
  EXPECT_EQ(entries.at("CFBundleVersion"), "1");
  EXPECT_TRUE(
      std::regex_match(entries.at("CFBundleIdentifier"), std::regex(R"([a-z0-9-]+(\.[a-z0-9-]+){2,})")));
  EXPECT_EQ(entries.at("NSMicrophoneUsageDescription"),
            "Zentrell captures microphone audio when you start a conversation.");
  EXPECT_EQ(entries.at("NSScreenCaptureUsageDescription"),
            "Zentrell captures system audio when you start a conversation.");
  EXPECT_EQ(entries.at("NSAudioCaptureUsageDescription"),
            "Zentrell captures system audio when you start a conversation.");
  EXPECT_EQ(entries.size(), 6u);
}

}  // namespace
