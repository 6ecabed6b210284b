// The suite's processes (suite_runner.h).
#include "suite_runner.h"

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

extern char** environ;

namespace quillsim {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A private folder for the processes' output and results, removed at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "quillsim-suite-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot make a folder in " + fs::temp_directory_path().string());
    }
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

struct Running {
  size_t index;
  Clock::time_point start;
};

std::string Ending(int status) {
  if (WIFSIGNALED(status)) {
    return "quillsim ended on signal " + std::to_string(WTERMSIG(status)) + " (" +
           strsignal(WTERMSIG(status)) + ")";
  }
  return "quillsim ended with exit status " + std::to_string(WEXITSTATUS(status)) +
         " and no result";
}

}  // namespace

int ProcessorCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

std::vector<ScenarioResult> RunSuite(const SuiteRun& run) {
  ScratchFolder scratch;
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  std::vector<ScenarioResult> results(run.entries.size());
  std::map<pid_t, Running> running;
  size_t next = 0;
  size_t ended = 0;
  auto start = [&](size_t index) {
    const SuiteEntry& entry = run.entries[index];
    const std::string stem = (scratch.Path() / std::to_string(index)).string();
    std::vector<std::string> arguments = {self, "run", entry.file.string(), "--result",
                                          stem + ".json"};
    for (std::string& argument : run.arguments(entry)) arguments.push_back(std::move(argument));
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    // Standard output and error together, as a terminal would show them.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (stem + ".out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
      ScenarioResult& result = results[index];
      result.name = entry.name;
      result.file = entry.file.string();
      result.error = std::string("cannot start quillsim: ") + std::strerror(error);
      run.ended(result, ++ended);
      return;
    }
    running[pid] = {index, Clock::now()};
  };
  while (next < run.entries.size() || !running.empty()) {
    while (next < run.entries.size() && static_cast<int>(running.size()) < run.jobs) {
      start(next++);
    }
    if (running.empty()) continue;
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) continue;
      break;
    }
    const auto found = running.find(pid);
    if (found == running.end()) continue;
    const Running done = found->second;
    running.erase(found);
    const SuiteEntry& entry = run.entries[done.index];
    const std::string stem = (scratch.Path() / std::to_string(done.index)).string();
    ScenarioResult result;
    try {
      result = ResultFromJson(ReadAll(stem + ".json"));
    } catch (const std::exception&) {
      result.verdict = Verdict::Error;
      result.error = Ending(status);
    }
    // A result its process's end contradicts (a crash on the way out) is
    // not believed.
    const bool passed = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (result.verdict != Verdict::Error && passed != (result.verdict == Verdict::Passed)) {
      result.error =
          std::string("the result said ") + VerdictName(result.verdict) + ", but " +
          (WIFSIGNALED(status) ? "quillsim ended on signal " + std::to_string(WTERMSIG(status))
                               : "the exit status was " + std::to_string(WEXITSTATUS(status)));
      result.verdict = Verdict::Error;
    }
    result.name = entry.name;
    result.file = entry.file.string();
    result.seconds = std::chrono::duration<double>(Clock::now() - done.start).count();
    result.output = ReadAll(stem + ".out");
    results[done.index] = std::move(result);
    run.ended(results[done.index], ++ended);
  }
  return results;
}

}  // namespace quillsim
