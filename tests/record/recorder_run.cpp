#include "record/recorder_run.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "support/child_process.h"

namespace zt::test::record {

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env, std::chrono::milliseconds timeout) {
  ChildOptions options;
  options.args = args;
  options.env = env;
  Child child(program, options);
  child.closeStdin();
  ProgramRun run;
  run.status = child.finish(timeout);
  for (const auto& line : child.remaining) run.out += line + "\n";
  for (const auto& line : child.audio) run.out += line + "\n";
  run.out += child.out().partial();
  run.err = child.stderrText();
  return run;
}

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
