// Runs zentrell-record (or an example host) as a person or a script would,
// and collects what it printed.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace zt::test::record {

struct ProgramRun {
  int status = -1;  // exit status; 128+N for signal N; -1 if it had to be killed
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs `program` with `args` and extra `env` to the end (killed after
// `timeout`).
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env = {},
                      std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A fresh folder under /tmp, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& text, bool executable = false);
std::string readFile(const std::string& path);
bool exists(const std::string& path);

// `sox --i -D FILE`: the duration sox reads, or a negative number when sox
// cannot read the file.
double soxDuration(const std::string& path);

}  // namespace zt::test::record
