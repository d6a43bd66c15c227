#include "spectrogram.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>

#include <vector>

extern char** environ;

namespace zt::record {

bool writeSpectrogram(const std::string& wav, const std::string& png, const std::string& title,
                      std::string* error) {
  std::vector<std::string> args{"sox", wav, "-n", "spectrogram", "-t", title, "-o", png};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // sox reads nothing from us; its own messages go to our standard error.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid;
  const int spawned = posix_spawnp(&pid, "sox", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    *error = spawned == ENOENT ? "sox is not installed (install the sox package for spectrograms)"
                               : std::string("cannot run sox: ") + strerror(spawned);
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *error = "sox could not draw " + png;
    return false;
  }
  return true;
}

}  // namespace zt::record
