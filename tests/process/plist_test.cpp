// The property list embedded in the product executable, read back with
// standard binutils as any tool would.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace {

std::string readFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

TEST(EmbeddedPropertyList, CarriesEveryKey) {
  char dumped[] = "/tmp/zt-plist-XXXXXX";
  close(mkstemp(dumped));
  const std::string cmd =
      std::string("objcopy -O binary --only-section=.info_plist --dump-section .info_plist=") + dumped + " " +
      ZT_HELPER_PATH + " /dev/null";
  ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
  const std::string xml = readFile(dumped);
  unlink(dumped);
  // The section holds the file exactly as the sources have it.
  EXPECT_EQ(xml, readFile(ZT_SOURCE_DIR "/resources/Info.plist"));
  std::map<std::string, std::string> entries;
  const std::regex pair(R"(<key>([^<]*)</key>\s*<string>([^<]*)</string>)");
  for (auto it = std::sregex_iterator(xml.begin(), xml.end(), pair); it != std::sregex_iterator(); ++it)
    entries[(*it)[1]] = (*it)[2];
  const std::string audio = "Zentrell captures system audio when you start a conversation.";
  EXPECT_EQ(entries, (std::map<std::string, std::string>{
                         {"CFBundleName", "Zentrell Audio Helper"},
                         {"CFBundleVersion", "1"},
                         {"CFBundleIdentifier", entries["CFBundleIdentifier"]},
                         {"NSMicrophoneUsageDescription",
                          "Zentrell captures microphone audio when you start a conversation."},
                         {"NSScreenCaptureUsageDescription", audio},
                         {"NSAudioCaptureUsageDescription", audio}}));
  EXPECT_TRUE(std::regex_match(entries["CFBundleIdentifier"], std::regex(R"([a-z0-9-]+(\.[a-z0-9-]+){2,})")));
}

}  // namespace
