// The topology walk (EnumerateUsbDevices, what the dialog runs at start and
// on Refresh) on a large tree: 10 host controllers, each with a chain of
// three external hubs below its root hub and a device at the bottom: 10
// devices, 30 external hubs, 10 root hubs. Timed: process CPU time of one
// walk, which first releases what the previous walk held, as Refresh does.
#include <benchmark/benchmark.h>
#include <windows.h>

#include <string>

#include "bench_pc.h"
#include "budgets.h"
#include "registry.h"
#include "usb_devices.h"

namespace bench {
namespace {

using namespace winsim::usb;

constexpr unsigned Controllers = 10;
constexpr unsigned HubDepth = 3;
constexpr uint8_t HubPorts = 4;   // port 1 leads on, the others are empty
constexpr uint8_t RootPorts = 2;  // port 1 leads on, port 2 is empty
constexpr int WalksPerRepetition = 50;

UsbTreeScript LargeTree() {
  UsbTreeScript tree;
  for (unsigned c = 0; c < Controllers; ++c) {
    DeviceScript device = c % 2 == 0 ? DefaultMouse() : DefaultStorage();
    device.description = "device " + std::to_string(c);
    PortScript below = DevicePort(device);
    for (unsigned depth = 0; depth < HubDepth; ++depth) {
      std::vector<PortScript> ports(HubPorts);
      ports[0] = below;
      below = HubPort(ports);
    }
    ControllerScript controller;
    controller.rootPorts.resize(RootPorts);
    controller.rootPorts[0] = below;
    tree.controllers.push_back(controller);
  }
  return tree;
}

void TopologyWalk(benchmark::State& state) {
  BenchPc pc(LargeTree());
  std::string problem;
  size_t requests = 0;
  const std::string runProblem = pc.RunApp([&](HWND) {
    for (auto _ : state) {
      ULONG count = 0;
      EnumerateUsbDevices(&count);
      state.PauseTiming();
      if (count != Controllers) {
        problem = "the walk found " + std::to_string(count) + " devices, not 10";
      }
      // What the walk asked of the system: opens and control requests.
      for (const winsim::Event& event : pc.Machine().Log().OfKind(winsim::EventKind::User)) {
        requests +=
            event.text.rfind("CreateFile", 0) == 0 || event.text.rfind("DeviceIoControl", 0) == 0;
      }
      pc.Machine().Log().Clear();
      state.ResumeTiming();
      if (!problem.empty()) {
        break;
      }
    }
  });
  if (problem.empty()) {
    problem = runProblem;
  }
  if (!problem.empty()) {
    state.SkipWithError(problem.c_str());
    return;
  }
  state.counters["devices"] = Controllers;
  state.counters["system_calls"] =
      static_cast<double>(requests) / static_cast<double>(state.iterations());
}

}  // namespace

void RegisterWalkBenchmarks() {
  WithMinimum(benchmark::RegisterBenchmark("BM_TopologyWalk/large-tree", TopologyWalk))
      ->MeasureProcessCPUTime()
      ->Iterations(WalksPerRepetition)
      ->Unit(benchmark::kMillisecond);
}

}  // namespace bench
