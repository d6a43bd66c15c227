#include "record/recorder_run.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>


namespace zt::test::record {

TempDir::TempDir() {
  char templ[] = "/tmp/zt-record-XXXXXX";
  if (mkdtemp(templ)) path_ = templ;
}

TempDir::~TempDir() {
  if (!path_.empty()) runProgram("/bin/rm", {"-rf", path_});
}

void writeFile(const std::string& path, const std::string& text, bool executable) {
  std::ofstream(path, std::ios::binary) << text;
  if (executable) chmod(path.c_str(), 0755);
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

double soxDuration(const std::string& path) {
  const ProgramRun run = runProgram("/usr/bin/env", {"sox", "--i", "-D", path}, {}, std::chrono::seconds(30));
  if (run.status != 0) return -1;
  return atof(run.out.c_str());
}

}  // namespace zt::test::record
