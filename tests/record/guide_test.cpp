// The host guide stays true to the files and the recorder: its example
// code is the code of the example files, and its error table lists exactly
// the codes the recorder explains.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "error_advice.h"
#include "record/recorder_run.h"

using namespace zt::test::record;

namespace {

const std::string kDocs = std::string(ZT_SOURCE_DIR) + "/docs/";

}  // namespace

TEST(Guide, ShowsTheExampleFilesVerbatim) {
  const std::string guide = readFile(kDocs + "protocol.md");
  ASSERT_FALSE(guide.empty());
  int examples = 0;
  const std::string marker = "<!-- example: ";
  for (size_t at = guide.find(marker); at != std::string::npos; at = guide.find(marker, at + 1)) {
    const size_t nameEnd = guide.find(" -->\n", at);
    ASSERT_NE(nameEnd, std::string::npos);
    const std::string name = guide.substr(at + marker.size(), nameEnd - at - marker.size());
    // The fenced block right after the marker.
    const size_t open = guide.find("```", nameEnd);
    ASSERT_EQ(open, nameEnd + 5) << name << ": no code block right after the marker";
    const size_t codeStart = guide.find('\n', open) + 1;
    const size_t close = guide.find("\n```\n", codeStart - 1);
    ASSERT_NE(close, std::string::npos) << name;
    const std::string code = guide.substr(codeStart, close + 1 - codeStart);
    const std::string file = readFile(kDocs + name);
    ASSERT_FALSE(file.empty()) << name;
    EXPECT_EQ(code, file) << name << " differs from its copy in protocol.md";
    ++examples;
  }
  EXPECT_EQ(examples, 2);
}

TEST(Guide, ErrorTableMatchesTheRecordersExplanations) {
  const std::string guide = readFile(kDocs + "protocol.md");
  const size_t section = guide.find("## Error codes");
  ASSERT_NE(section, std::string::npos);
  const size_t sectionEnd = guide.find("\n## ", section + 1);
  const std::string table = guide.substr(section, sectionEnd - section);
  std::set<std::string> documented;
  const std::regex row("\n\\| `([A-Z_]+)` \\|");
  for (std::sregex_iterator it(table.begin(), table.end(), row), end; it != end; ++it)
    documented.insert((*it)[1]);
  EXPECT_EQ(documented.size(), 15u);
  const auto& known = zt::record::knownErrorCodes();
  EXPECT_EQ(documented, std::set<std::string>(known.begin(), known.end()));
  std::set<std::string> meanings;
  for (const auto& code : known) meanings.insert(zt::record::adviceFor(code).meaning);
  EXPECT_EQ(meanings.size(), known.size()) << "two codes share one explanation";
}
