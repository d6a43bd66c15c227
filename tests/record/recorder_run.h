// Runs zentrell-record (or an example host) as a person or a script would,
// and collects what it printed.
#pragma once

#include <string>

#include "support/child_process.h"

namespace zt::test::record {

using zt::test::ProgramRun;
using zt::test::runProgram;

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
