// winsim: the Plug and Play manager: its thread, services, arrival, stop and
// restart, orderly and surprise removal, and driver unload.
#include "pnp/pnp_manager.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "ground/ground.h"
#include "kernel/kernel.h"
#include "pnp/pnp_state.h"

namespace winsim::pnp {

namespace {

Scheduler& Sched() { return Ground::Current().Sched(); }

void ManagerThread() {
  PnpState& state = Manager();
  // A daemon: when a run ends, the scheduler unwinds it out of its wait; the
  // next request starts a new one.
  struct Running {
    PnpState& state;
    ~Running() {
      state.threadRunning = false;
      state.busy = false;
      state.thread = nullptr;
    }
  } running{state};
  state.thread = Scheduler::Current();
  for (;;) {
    while (!state.queue.empty()) {
      auto work = std::move(state.queue.front().second);
      state.queue.pop_front();
      state.busy = true;
      work();
      state.busy = false;
    }
    Sched().Wake(&state.idleToken);
    Sched().WaitOn(&state.queue, -1, "the Plug and Play queue (idle)");
  }
}

void EnsureThread(PnpState& state) {
  if (!state.threadRunning) {
    state.threadRunning = true;
    Sched().CreateThread("pnp", ManagerThread, PASSIVE_LEVEL, true);
  } else {
    Sched().Wake(&state.queue);
  }
}

// Hardware identities compare without regard to case, as Windows matches them.
std::string IdentityKey(std::string id) {
  for (char& c : id) c = char(std::toupper(static_cast<unsigned char>(c)));
  return id;
}

bool HasStack(const DeviceNode* node) {
  return node->state == NodeState::Started || node->state == NodeState::Stopped;
}

// The file objects open on any device of node's stack.
std::set<PFILE_OBJECT> StackFiles(const DeviceNode* node) {
  std::set<PFILE_OBJECT> files;
  for (PDEVICE_OBJECT device = node->pdo; device; device = device->AttachedDevice) {
    for (PFILE_OBJECT file : kernel::OpenFiles(device)) files.insert(file);
  }
  return files;
}

// DriverUnload (and the leak check in it) once the driver's last device
// object is gone.
void UnloadIfUnused(const std::string& serviceKey) {
  PnpState& state = Manager();
  auto service = state.services.find(serviceKey);
  if (service == state.services.end() || !service->second.loaded) return;
  PDRIVER_OBJECT driver = service->second.loaded;
  const size_t remaining = kernel::DeviceObjectCount(driver);
  if (remaining > 0) {
    Record(nullptr,
           "DriverUnload deferred: " + std::to_string(remaining) + " device object(s) left",
           service->second.name, "");
    return;
  }
  service->second.loaded = nullptr;
  kernel::UnloadDriver(driver);
}

// IRP_MN_REMOVE_DEVICE, after which the bus may delete its PDO; the node's
// function driver is unloaded if that was its last device.
void SendRemove(DeviceNode* node, NodeState after) {
  if (node->pdo) SendRequest(node, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, "IRP_MN_REMOVE_DEVICE");
  node->state = after;
  node->driver = nullptr;
  if (after == NodeState::Removed) node->pdo = nullptr;
  const std::string service = std::exchange(node->service, std::string());
  UnloadIfUnused(service);
}

void Start(DeviceNode* node) {
  PDEVICE_OBJECT pdo = node->pdo;
  const NTSTATUS status = SendRequest(
      node, IRP_MJ_PNP, IRP_MN_START_DEVICE, "IRP_MN_START_DEVICE", [](PIO_STACK_LOCATION stack) {
        stack->Parameters.StartDevice.AllocatedResources = nullptr;
        stack->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
      });
  if (NT_SUCCESS(status)) {
    node->state = NodeState::Started;
  } else {
    // Windows removes a device whose start failed.
    SendRemove(node, NodeState::Failed);
  }
  kernel::SetStackStarting(pdo, false);
}

void QueryCapabilities(DeviceNode* node) {
  // Filled in by the stack from the bus up; Size, Version and the "unknown"
  // address and UI number are set beforehand, as Windows does.
  DEVICE_CAPABILITIES capabilities{};
  capabilities.Size = sizeof(DEVICE_CAPABILITIES);
  capabilities.Version = 1;
  capabilities.Address = 0xFFFFFFFF;
  capabilities.UINumber = 0xFFFFFFFF;
  SendRequest(node, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, "IRP_MN_QUERY_CAPABILITIES",
              [&](PIO_STACK_LOCATION stack) {
                stack->Parameters.DeviceCapabilities.Capabilities = &capabilities;
              });
}

void Arrive(DeviceNode* node) {
  PnpState& state = Manager();
  if (!node->present || !node->pdo || node->state != NodeState::NoDriver) return;
  auto found = state.services.find(IdentityKey(node->properties.hardwareId));
  if (found == state.services.end()) {
    Record(node, "no service for " + node->properties.hardwareId, "", "");
    return;
  }
  Service& service = found->second;
  if (!service.loaded) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    service.loaded = kernel::LoadDriver(service.name, service.entry, &status);
    if (!service.loaded) {
      Record(node, "DriverEntry", service.name, kernel::StatusText(status));
      node->state = NodeState::Failed;
      return;
    }
  }
  PDRIVER_OBJECT driver = service.loaded;
  // Creates for the new stack wait until its start has ended (Start).
  kernel::SetStackStarting(node->pdo, true);
  const NTSTATUS added = driver->DriverExtension->AddDevice
                             ? kernel::CallAddDevice(driver, node->pdo)
                             : STATUS_NOT_SUPPORTED;
  Record(node, "AddDevice", service.name, kernel::StatusText(added));
  if (!NT_SUCCESS(added)) {
    kernel::SetStackStarting(node->pdo, false);
    node->state = NodeState::Failed;
    UnloadIfUnused(found->first);
    return;
  }
  node->driver = driver;
  node->service = found->first;
  QueryCapabilities(node);
  Start(node);
}

void FinishSurpriseRemoval(DeviceNode* node) {
  PnpState& state = Manager();
  std::erase(state.removePending, node);
  if (node->pdo) kernel::SetStackRemovePending(node->pdo, false);
  SendRemove(node, NodeState::Removed);
}

void SurpriseRemove(DeviceNode* top) {
  PnpState& state = Manager();
  for (DeviceNode* node : PostOrder(top)) {
    if (!node->present) continue;
    node->present = false;
    DisableInterfaces(node);
    if (!HasStack(node)) {
      SendRemove(node, NodeState::Removed);
      continue;
    }
    // The handles open now hold the final removal back; the observer below
    // takes each one off as it is closed (also while the request runs).
    node->openFiles = StackFiles(node);
    node->state = NodeState::RemovePending;
    state.removePending.push_back(node);
    kernel::SetStackRemovePending(node->pdo, true);
    SendRequest(node, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, "IRP_MN_SURPRISE_REMOVAL");
    if (node->openFiles.empty()) {
      FinishSurpriseRemoval(node);
    } else {
      Record(node,
             "IRP_MN_REMOVE_DEVICE waits for " + std::to_string(node->openFiles.size()) +
                 " open handle(s)",
             "", "");
    }
  }
}

void OrderlyRemove(DeviceNode* top) {
  std::vector<DeviceNode*> nodes = PostOrder(top);
  std::erase_if(nodes, [](const DeviceNode* node) { return !node->present; });
  std::vector<DeviceNode*> queried;
  bool vetoed = false;
  for (DeviceNode* node : nodes) {
    if (!HasStack(node)) continue;
    queried.push_back(node);
    const NTSTATUS status =
        SendRequest(node, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, "IRP_MN_QUERY_REMOVE_DEVICE");
    if (!NT_SUCCESS(status)) {
      vetoed = true;
    } else if (!StackFiles(node).empty()) {
      Record(node, "removal vetoed: a handle is open", "", "");
      vetoed = true;
    }
    if (vetoed) break;
  }
  if (vetoed) {
    for (auto node = queried.rbegin(); node != queried.rend(); ++node) {
      SendRequest(*node, IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE, "IRP_MN_CANCEL_REMOVE_DEVICE");
    }
    return;
  }
  for (DeviceNode* node : nodes) {
    node->present = false;
    DisableInterfaces(node);
    SendRemove(node, NodeState::Removed);
  }
}

void Restart(DeviceNode* node) {
  if (node->state != NodeState::Started) return;
  const NTSTATUS query =
      SendRequest(node, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, "IRP_MN_QUERY_STOP_DEVICE");
  if (!NT_SUCCESS(query)) {
    SendRequest(node, IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE, "IRP_MN_CANCEL_STOP_DEVICE");
    return;
  }
  SendRequest(node, IRP_MJ_PNP, IRP_MN_STOP_DEVICE, "IRP_MN_STOP_DEVICE");
  node->state = NodeState::Stopped;
  Start(node);
}

// Told by the kernel after each close: a surprise-removed device gets its
// IRP_MN_REMOVE_DEVICE once the last handle to its stack is closed.
void FileClosed(PFILE_OBJECT file) {
  for (DeviceNode* node : Manager().removePending) {
    if (node->openFiles.erase(file) && node->openFiles.empty() &&
        node->state == NodeState::RemovePending) {
      Queue("final removal", [node] {
        if (node->state == NodeState::RemovePending) FinishSurpriseRemoval(node);
      });
    }
  }
}

}  // namespace

PnpState::PnpState() {
  root = std::make_unique<DeviceNode>();
  root->properties.instanceId = "HTREE\\ROOT\\0";
  root->id = 1;
  nodesById.push_back(root.get());
  kernel::AddFileClosedObserver(FileClosed);
}

PnpState::~PnpState() = default;

PnpState& Manager() { return Ground::Current().State<PnpState>(); }

void Queue(std::string what, std::function<void()> work) {
  PnpState& state = Manager();
  state.queue.emplace_back(std::move(what), std::move(work));
  EnsureThread(state);
}

void RunAndWait(const std::string& what, const std::function<void()>& work) {
  PnpState& state = Manager();
  if (state.thread && Scheduler::Current() == state.thread) {
    work();
    return;
  }
  bool done = false;
  Queue(what, [&] {
    work();
    done = true;
    Sched().Wake(&done);
  });
  while (!done) Sched().WaitOn(&done, -1, "the Plug and Play manager: " + what);
}

std::string DriverShortName(PDRIVER_OBJECT driver) {
  if (!driver) return "";
  const std::string name = kernel::Narrow(&driver->DriverName);
  const size_t slash = name.rfind('\\');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

void Record(const DeviceNode* node, const std::string& request, const std::string& driver,
            const std::string& status) {
  const std::string device = node ? node->properties.instanceId : "";
  std::string text = request;
  if (!device.empty()) text += " " + device;
  if (!driver.empty()) text += " (" + driver + ")";
  if (!status.empty()) text += " -> " + status;
  Ground::Current().Log().Add(
      EventKind::Pnp, std::move(text),
      {{"request", request}, {"device", device}, {"driver", driver}, {"status", status}});
}

NTSTATUS SendRequest(DeviceNode* node, UCHAR major, UCHAR minor, const std::string& what,
                     const std::function<void(PIO_STACK_LOCATION)>& setup) {
  const std::string target = DriverShortName(kernel::TopOfStack(node->pdo)->DriverObject);
  const NTSTATUS status = kernel::SendIrpAndWait(node->pdo, [&](PIO_STACK_LOCATION stack) {
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    if (setup) setup(stack);
  });
  Record(node, what, target, kernel::StatusText(status));
  return status;
}

void RegisterService(std::string hardwareId, std::string serviceName, PDRIVER_INITIALIZE entry) {
  Service& service = Manager().services[IdentityKey(std::move(hardwareId))];
  service.name = std::move(serviceName);
  service.entry = entry;
}

namespace {

// A bus's report: queued now, or at the wake while the machine sleeps.
void Report(std::string what, std::function<void()> work) {
  PnpState& state = Manager();
  if (state.asleep) {
    Record(nullptr, what + " held until the wake", "", "");
    state.heldReports.emplace_back(std::move(what), std::move(work));
    return;
  }
  Queue(std::move(what), std::move(work));
}

}  // namespace

void DeviceArrived(DeviceNode* node) {
  Report("arrival", [node] { Arrive(node); });
}

void DeviceRemoved(DeviceNode* node, bool surprise) {
  Report(surprise ? "surprise removal" : "removal", [node, surprise] {
    if (surprise) {
      SurpriseRemove(node);
    } else {
      OrderlyRemove(node);
    }
  });
}

void StopAndRestart(DeviceNode* node) {
  Queue("stop and restart", [node] { Restart(node); });
}

void WaitIdle() {
  PnpState& state = Manager();
  if (!state.queue.empty()) EnsureThread(state);
  while (!state.queue.empty() || state.busy) {
    Sched().WaitOn(&state.idleToken, -1, "the Plug and Play manager (busy)");
  }
}

}  // namespace winsim::pnp
