// The whole download of the largest image (65,536 bytes, image-64k-sparse)
// through the simulated stack: DownloadWorker, kernel32, the I/O manager,
// quillfw, the USB bus and the Q417 model, on the virtual clock, in both of
// the bus's completion modes. Timed: process CPU time (every simulated
// thread is a host thread of this process), one DownloadWorker run per
// iteration with the update-mode device already present.
#include <benchmark/benchmark.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "bench_inputs.h"
#include "bench_pc.h"
#include "budgets.h"
#include "download_format.h"
#include "download_worker.h"
#include "flash_image.h"
#include "machine/machine_disk.h"
#include "registry.h"
#include "update_trigger.h"
#include "usb/models/q417.h"
#include "usb_devices.h"

namespace bench {
namespace {

using namespace winsim::usb;

// Downloads per repetition: every repetition builds a fresh machine, so the
// device's and the log's records stay small.
constexpr int DownloadsPerRepetition = 20;

UsbTreeScript Q417Tree(CompletionMode mode) {
  PortScript port = DevicePort(DefaultQ417NormalMode());
  Q417Script q417;
  q417.updateMode = DefaultQ417UpdateMode();
  port.settings = q417;
  return SinglePortTree(port, mode);
}

// Runs the worker once; "" when it posted WM_DOWNLOAD_DONE last.
std::string RunWorker(DownloadJob& job) {
  DownloadWorker(&job);
  UINT last = 0;
  MSG msg;
  while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
    if (msg.message >= WM_DOWNLOAD_FAILED && msg.message <= WM_DOWNLOAD_DONE) {
      last = msg.message;
    }
  }
  if (last != WM_DOWNLOAD_DONE) {
    return std::string("the download failed: ") + job.FailureText;
  }
  return "";
}

void Download(benchmark::State& state, CompletionMode mode) {
  BenchPc pc(Q417Tree(mode));
  std::string problem;
  double virtualSeconds = 0;
  UINT32 requests = 0;
  UINT32 bytes = 0;
  const std::string runProblem = pc.RunApp([&](HWND mainWindow) {
    const BenchInput input = FullImageSparse();
    const std::filesystem::path file = winsim::MachineFolder() / "download-bench.hex";
    WriteFileBytes(file, input.text);
    FlashImage image = BuildFlashImage(file.string().c_str());
    if (FlashImageLength(image) != input.image.size()) {
      problem = "the image was not built";
      FreeFlashImage(image);
      return;
    }
    requests = 1 + FlashImageBlockCount(image);  // the header and one per block
    bytes = HeaderCommandSize + FlashImageLength(image);

    ULONG count = 0;
    EnumerateUsbDevices(&count);
    const ULONG triggerError = count == 1 ? TriggerUpdateMode(0) : 1;
    ClearDeviceTable();
    DownloadJob job = {};
    job.DialogWindow = mainWindow;
    job.Image = image;
    // Untimed: the worker waits for the device in update mode and quillfw.
    problem = triggerError == 0 ? RunWorker(job) : "the trigger failed";
    const winsim::VirtualTime start = pc.Machine().Sched().Now();
    for (auto _ : state) {
      if (!problem.empty()) {
        break;
      }
      problem = RunWorker(job);
      state.PauseTiming();
      pc.Machine().Log().Clear();
      state.ResumeTiming();
    }
    virtualSeconds = static_cast<double>(pc.Machine().Sched().Now() - start) / 1e7;
    FreeFlashImage(image);
  });
  if (problem.empty()) {
    problem = runProblem;
  }
  if (!problem.empty()) {
    state.SkipWithError(problem.c_str());
    return;
  }
  using benchmark::Counter;
  state.counters["requests"] = requests;
  state.counters["cpu/request"] =
      Counter(requests, Counter::kIsIterationInvariantRate | Counter::kInvert);
  state.counters["cpu/byte"] =
      Counter(bytes, Counter::kIsIterationInvariantRate | Counter::kInvert);
  state.counters["virtual_ms"] = virtualSeconds * 1e3 / static_cast<double>(state.iterations());
}

}  // namespace

void RegisterDownloadBenchmarks() {
  const struct {
    const char* name;
    CompletionMode mode;
  } modes[] = {
      {"BM_Download/asynchronous", CompletionMode::Asynchronous},
      {"BM_Download/inline", CompletionMode::Inline},
  };
  for (const auto& mode : modes) {
    const CompletionMode completion = mode.mode;
    WithMinimum(
        benchmark::RegisterBenchmark(
            mode.name, [completion](benchmark::State& state) { Download(state, completion); }))
        ->MeasureProcessCPUTime()
        ->Iterations(DownloadsPerRepetition)
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace bench
