// process_budgets: the budgets on whole processes, each measured side by
// side with its yardstick in the same run. Commands run in turn (A B A B ...)
// so that a change in the machine's load falls on both; each run's CPU time
// is the kernel's account of the finished child (user + system, every
// thread), which moves with the load far less than wall time does.
//
//   process_budgets image QUILLSIM HEX_FILE [DEBUG]    quillsim image vs objcopy and cat
//                                                      (DEBUG: a Debug quillsim, reported too)
//   process_budgets update RELEASE DEBUG SCENARIO...   a whole update, release vs Debug
//   process_budgets fuzz NAME FUZZER INPUT... [--beside=OTHER]
//                                                      a fuzz target's executions per CPU second
//                                                      at seeds 1 to 4 (OTHER: another build of
//                                                      it, reported beside it)
//   process_budgets schedules RELEASE DEBUG SCENARIO    explored schedules of a whole update per
//                                                       CPU second, beside one default run and
//                                                       the Debug build
//
// Prints every figure (median, minimum, maximum) and each budget's outcome;
// exits 1 when a budget fails, 2 when a command cannot run.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// ---- the budgets ------------------------------------------------------------------------------

// quillsim image on the largest shuffled file, against the peers' CPU time.
constexpr double kImageVsObjcopy = 0.25;
constexpr double kImageVsCat = 2.0;
// A whole simulated update with the release build, by scenario file name.
struct UpdateBudget {
  const char* scenario;
  double limitMs;
};
constexpr UpdateBudget kUpdateBudgets[] = {{"main-update.json", 10.0}, {"full-flash.json", 30.0}};
// Every fuzz target that runs a whole machine per input, at each seed: the
// inputs libFuzzer makes follow the seed and the build (its mutations take
// values from the code's comparisons), and what an input costs follows the
// inputs, so a single seed is a single sample.
constexpr double kFuzzExecutionsPerCpuSecond = 1000.0;
constexpr int kFuzzSeeds[] = {1, 2, 3, 4};
// Schedule exploration of a whole update (quillsim run --schedules), release
// build: every schedule a whole run with its own machine and verdict.
constexpr double kSchedulesPerCpuSecond = 100.0;
constexpr unsigned kSchedules = 100;
constexpr int kScheduleRuns = 5;

constexpr int kImageRuns = 30;
constexpr int kUpdateRuns = 10;
constexpr int kFuzzExecutions = 4000;

// ---- running a command ------------------------------------------------------------------------

struct Outcome {
  double cpuSeconds = 0;
  double wallSeconds = 0;
  int status = 0;  // the exit status; 128 + the signal when killed
};

// Runs argv with standard input from /dev/null and both outputs to `output`
// (a file, or /dev/null), and returns its CPU time.
Outcome Run(const std::vector<std::string>& argv, const std::string& output = "/dev/null") {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const auto started = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child < 0) {
    std::perror("fork");
    std::exit(2);
  }
  if (child == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) _exit(126);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) {
    std::perror("wait4");
    std::exit(2);
  }
  Outcome outcome;
  outcome.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  outcome.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (outcome.status == 126 || outcome.status == 127) {
    std::fprintf(stderr, "process_budgets: cannot run %s\n", argv[0].c_str());
    std::exit(2);
  }
  return outcome;
}

struct Spread {
  double median = 0, minimum = 0, maximum = 0;
};

Spread SpreadOf(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  Spread spread;
  spread.median =
      values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
  spread.minimum = values.front();
  spread.maximum = values.back();
  return spread;
}

std::string Command(const std::vector<std::string>& argv) {
  std::string text;
  for (const std::string& arg : argv) text += (text.empty() ? "" : " ") + arg;
  return text;
}

// A against B, `runs` pairs in turn after one untimed run of each. The
// ratio is taken pair by pair; B's CPU time is floored at 1 us (the kernel
// may account a tiny run as 0).
struct Pairs {
  Spread a, b, ratio;
  Spread aWall, bWall;
};

Pairs Compare(const std::vector<std::string>& a, const std::vector<std::string>& b, int runs,
              bool mustSucceed) {
  std::vector<double> as, bs, ratios, aWalls, bWalls;
  for (int i = -1; i < runs; ++i) {
    const Outcome first = Run(a);
    const Outcome second = Run(b);
    if (mustSucceed && (first.status != 0 || second.status != 0)) {
      std::fprintf(stderr, "process_budgets: a command failed (exit %d, %d): %s / %s\n",
                   first.status, second.status, Command(a).c_str(), Command(b).c_str());
      std::exit(2);
    }
    if (i < 0) continue;  // the warm-up: files in the page cache
    as.push_back(first.cpuSeconds);
    bs.push_back(second.cpuSeconds);
    aWalls.push_back(first.wallSeconds);
    bWalls.push_back(second.wallSeconds);
    ratios.push_back(first.cpuSeconds / std::max(second.cpuSeconds, 1e-6));
  }
  return {SpreadOf(as), SpreadOf(bs), SpreadOf(ratios), SpreadOf(aWalls), SpreadOf(bWalls)};
}

void PrintMs(const char* name, const Spread& spread) {
  std::printf("  %-28s median %8.3f ms   min %8.3f   max %8.3f\n", name, spread.median * 1e3,
              spread.minimum * 1e3, spread.maximum * 1e3);
}

bool Verdict(bool held, const char* figure, double value, const char* relation, double limit) {
  std::printf("  budget: %s %.3f %s %.3f: %s\n", figure, value, relation, limit,
              held ? "holds" : "FAILS");
  return held;
}

// ---- the three figures ------------------------------------------------------------------------

std::string FileText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// One quillsim against objcopy, then against cat; false when its image
// differs from objcopy's.
bool MeasureImage(const char* label, const std::string& quillsim, const std::string& hexFile,
                  const fs::path& work, Pairs& withObjcopy, Pairs& withCat) {
  const std::vector<std::string> ours = {quillsim, "image", hexFile, "--output",
                                         (work / "quillsim.bin").string()};
  const std::vector<std::string> objcopy = {
      "objcopy", "-I", "ihex", "-O", "binary", hexFile, (work / "objcopy.bin").string()};
  const std::vector<std::string> cat = {"cat", hexFile};
  std::printf("quillsim image (%s) on %s, %d runs of each in turn (CPU time, user + system)\n",
              label, hexFile.c_str(), kImageRuns);
  withObjcopy = Compare(ours, objcopy, kImageRuns, true);
  withCat = Compare(ours, cat, kImageRuns, true);
  PrintMs("quillsim image", withObjcopy.a);
  PrintMs("objcopy -I ihex -O binary", withObjcopy.b);
  PrintMs("quillsim image (with cat)", withCat.a);
  PrintMs("cat", withCat.b);
  std::printf("  ratio quillsim/objcopy median %.3f (min %.3f, max %.3f)\n",
              withObjcopy.ratio.median, withObjcopy.ratio.minimum, withObjcopy.ratio.maximum);
  std::printf("  ratio quillsim/cat     median %.3f (min %.3f, max %.3f)\n", withCat.ratio.median,
              withCat.ratio.minimum, withCat.ratio.maximum);
  const std::string ourImage = FileText(work / "quillsim.bin");
  if (ourImage.empty() || ourImage != FileText(work / "objcopy.bin")) {
    std::printf("  quillsim's image differs from objcopy's\n");
    return false;
  }
  return true;
}

// The budgets hold the optimised build (the one a user runs); a Debug build
// given as well is measured the same way and reported beside it.
bool Image(const std::string& quillsim, const std::string& hexFile, const std::string& debug) {
  const fs::path work = fs::temp_directory_path() / ("process_budgets." + std::to_string(getpid()));
  fs::create_directories(work);
  Pairs withObjcopy, withCat;
  bool held = MeasureImage("optimised", quillsim, hexFile, work, withObjcopy, withCat);
  held &=
      Verdict(withObjcopy.ratio.median <= kImageVsObjcopy, "quillsim image (optimised)/objcopy CPU",
              withObjcopy.ratio.median, "<=", kImageVsObjcopy);
  held &= Verdict(withCat.ratio.median <= kImageVsCat, "quillsim image (optimised)/cat CPU",
                  withCat.ratio.median, "<=", kImageVsCat);
  if (!debug.empty()) {
    Pairs debugWithObjcopy, debugWithCat;
    std::printf("\n");
    held &= MeasureImage("Debug", debug, hexFile, work, debugWithObjcopy, debugWithCat);
    std::printf("  (reported, no budget) Debug build: %.3f of objcopy, %.3f of cat\n",
                debugWithObjcopy.ratio.median, debugWithCat.ratio.median);
  }
  fs::remove_all(work);
  return held;
}

bool Update(const std::string& release, const std::string& debug,
            const std::vector<std::string>& scenarios) {
  bool held = true;
  for (const std::string& scenario : scenarios) {
    const std::string name = fs::path(scenario).filename().string();
    std::printf("a whole update, %s: release against Debug, %d runs of each in turn\n",
                name.c_str(), kUpdateRuns);
    const Pairs pairs =
        Compare({release, "run", scenario}, {debug, "run", scenario}, kUpdateRuns, true);
    PrintMs("release (-O2)", pairs.a);
    PrintMs("Debug", pairs.b);
    std::printf("  ratio release/Debug median %.3f\n", pairs.ratio.median);
    bool known = false;
    for (const UpdateBudget& budget : kUpdateBudgets) {
      if (name != budget.scenario) continue;
      known = true;
      const std::string figure = name + ": release CPU ms";
      held &= Verdict(pairs.a.median * 1e3 <= budget.limitMs, figure.c_str(), pairs.a.median * 1e3,
                      "<=", budget.limitMs);
    }
    if (!known) std::printf("  (no budget for %s)\n", name.c_str());
  }
  return held;
}

// libFuzzer's count of executions from -print_final_stats=1.
long ExecutedUnits(const std::string& output) {
  std::ifstream file(output);
  std::string line;
  long units = -1;
  while (std::getline(file, line)) {
    const char* key = "stat::number_of_executed_units:";
    if (line.rfind(key, 0) == 0) units = std::atol(line.c_str() + std::strlen(key));
  }
  return units;
}

struct FuzzRun {
  bool ran = false;
  long units = 0;
  double cpuSeconds = 0;
  double Rate() const { return static_cast<double>(units) / std::max(cpuSeconds, 1e-6); }
};

// kFuzzExecutions of FUZZER from seed `seed`, starting from the inputs; new
// inputs go to a scratch folder, so the seeds stay as they are. Leak
// detection as in the fuzz runs. A run that fails keeps its output.
FuzzRun FuzzOnce(const std::string& fuzzer, int seed, const std::vector<std::string>& inputs) {
  const fs::path work = fs::temp_directory_path() /
                        ("process_budgets.fuzz." + std::to_string(getpid()) + "." +
                         std::to_string(seed) + "." + fs::path(fuzzer).filename().string());
  fs::remove_all(work);
  fs::create_directories(work / "corpus");
  std::vector<std::string> argv = {fuzzer,
                                   "-runs=" + std::to_string(kFuzzExecutions),
                                   "-seed=" + std::to_string(seed),
                                   "-print_final_stats=1",
                                   "-timeout=30",
                                   (work / "corpus").string()};
  for (const std::string& input : inputs) {
    if (fs::exists(input)) argv.push_back(input);
  }
  const std::string output = (work / "output.txt").string();
  const Outcome outcome = Run(argv, output);
  FuzzRun run;
  run.units = ExecutedUnits(output);
  run.cpuSeconds = outcome.cpuSeconds;
  run.ran = outcome.status == 0 && run.units > 0;
  if (run.ran) {
    fs::remove_all(work);
  } else {
    std::printf("  %s -seed=%d failed (exit %d; its output: %s)\n", fuzzer.c_str(), seed,
                outcome.status, output.c_str());
  }
  return run;
}

// The target at every seed of kFuzzSeeds; with `beside` (another build of
// the same target) each seed's run of it follows the target's, in turn. The
// budget holds when it holds at every seed.
bool Fuzz(const std::string& name, const std::string& fuzzer, const std::string& beside,
          const std::vector<std::string>& inputs) {
  std::printf("fuzz target %s: %d executions from each seed (CPU time, user + system)%s\n",
              name.c_str(), kFuzzExecutions, beside.empty() ? "" : ", beside another build");
  std::vector<double> rates, besideRates;
  bool ran = true;
  for (const int seed : kFuzzSeeds) {
    const FuzzRun run = FuzzOnce(fuzzer, seed, inputs);
    ran &= run.ran;
    if (run.ran) rates.push_back(run.Rate());
    std::printf("  -seed=%d: %ld executions in %.2f CPU s, %.0f per CPU s", seed, run.units,
                run.cpuSeconds, run.Rate());
    if (!beside.empty()) {
      const FuzzRun other = FuzzOnce(beside, seed, inputs);
      if (other.ran) besideRates.push_back(other.Rate());
      std::printf("; beside: %.2f CPU s, %.0f per CPU s", other.cpuSeconds, other.Rate());
    }
    std::printf("\n");
  }
  if (!besideRates.empty()) {
    const Spread spread = SpreadOf(besideRates);
    std::printf("  (reported, no budget) beside: %s, median %.0f, min %.0f per CPU second\n",
                beside.c_str(), spread.median, spread.minimum);
  }
  if (!ran) {
    std::printf("  budget: %s fuzz target: not measured, a run failed: FAILS\n", name.c_str());
    return false;
  }
  const Spread spread = SpreadOf(rates);
  std::printf("  executions per CPU second: median %.0f, min %.0f, max %.0f\n", spread.median,
              spread.minimum, spread.maximum);
  const std::string figure = name + " fuzz target: executions per CPU second, lowest seed";
  return Verdict(spread.minimum >= kFuzzExecutionsPerCpuSecond, figure.c_str(), spread.minimum,
                 ">=", kFuzzExecutionsPerCpuSecond);
}

// quillsim run SCENARIO --schedules N (PCT seeds 1 to N) with the release
// build, in turn with one default run of the same scenario (what a schedule
// costs beyond a whole run of its own process) and with the Debug build's
// exploration. Every run must pass.
bool Schedules(const std::string& release, const std::string& debug, const std::string& scenario) {
  const std::string count = std::to_string(kSchedules);
  const std::vector<std::string> explored = {release, "run", scenario, "--schedules", count};
  std::printf(
      "schedule exploration, %s: %u PCT schedules a run, %d runs in turn with one "
      "default run and with the Debug build\n",
      fs::path(scenario).filename().string().c_str(), kSchedules, kScheduleRuns);
  const Pairs withOne = Compare(explored, {release, "run", scenario}, kScheduleRuns, true);
  const Pairs withDebug =
      Compare(explored, {debug, "run", scenario, "--schedules", count}, kScheduleRuns, true);
  PrintMs("release, --schedules", withOne.a);
  PrintMs("release, one default run", withOne.b);
  PrintMs("release, --schedules (2)", withDebug.a);
  PrintMs("Debug, --schedules", withDebug.b);
  const double perSchedule = withOne.a.median / kSchedules;
  const double rate = kSchedules / withOne.a.median;
  std::printf("  per schedule: release %.3f ms CPU (one default run: %.3f ms), Debug %.3f ms\n",
              perSchedule * 1e3, withOne.b.median * 1e3, withDebug.b.median / kSchedules * 1e3);
  std::printf("  schedules per second of wall time: release %.1f, Debug %.1f (the load's)\n",
              kSchedules / withOne.aWall.median, kSchedules / withDebug.bWall.median);
  const std::string figure =
      fs::path(scenario).filename().string() + ": explored schedules per CPU second (release)";
  return Verdict(rate >= kSchedulesPerCpuSecond, figure.c_str(), rate,
                 ">=", kSchedulesPerCpuSecond);
}

int Usage() {
  std::fprintf(stderr,
               "usage: process_budgets image QUILLSIM HEX_FILE [DEBUG_QUILLSIM]\n"
               "       process_budgets update RELEASE_QUILLSIM DEBUG_QUILLSIM SCENARIO...\n"
               "       process_budgets fuzz NAME FUZZER INPUT... [--beside=OTHER_FUZZER]\n"
               "       process_budgets schedules RELEASE_QUILLSIM DEBUG_QUILLSIM SCENARIO\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if ((args.size() == 3 || args.size() == 4) && args[0] == "image") {
    return Image(args[1], args[2], args.size() == 4 ? args[3] : "") ? 0 : 1;
  }
  if (args.size() >= 4 && args[0] == "update") {
    return Update(args[1], args[2], {args.begin() + 3, args.end()}) ? 0 : 1;
  }
  if (args.size() == 4 && args[0] == "schedules") {
    return Schedules(args[1], args[2], args[3]) ? 0 : 1;
  }
  if (args.size() >= 3 && args[0] == "fuzz") {
    std::string beside;
    std::vector<std::string> inputs;
    for (auto arg = args.begin() + 3; arg != args.end(); ++arg) {
      if (arg->starts_with("--beside=")) {
        beside = arg->substr(std::strlen("--beside="));
      } else {
        inputs.push_back(*arg);
      }
    }
    return Fuzz(args[1], args[2], beside, inputs) ? 0 : 1;
  }
  return Usage();
}
