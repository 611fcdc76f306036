// PoStartNextPowerIrp, checked per driver and stack location.
//
// On Windows 2000 and XP every driver of a device stack must call PoStartNextPowerIrp for each
// power request it handles, while the request's current stack location is its own, before it
// passes the request on or completes it (PoStartNextPowerIrp: "each driver in the device stack
// must call PoStartNextPowerIrp while the current IRP stack location points to the current
// driver"; "Calling PoStartNextPowerIrp"). A driver that copies its location to the next one and
// sets a completion routine may call it in that routine instead (the routine sees the request at
// its own location), or later while it holds the request again. Until every driver has called
// it, the power manager sends the device no further power request of the kind: a driver that
// forgets stalls its device's power for good.
//
// The host records, per power request, the devices whose dispatch routine it was given to, by
// stack location (a driver that skips its location hands the same location to the driver below:
// a location can have had several). PoStartNextPowerIrp marks the calling driver at the current
// location. The checks, each naming the driver and the routine (PowerIrpWithoutStartNext):
//  - passing the request on (PoCallDriver, or IoCallDriver): the driver passing it must have
//    called it, unless it copied its location and set a completion routine; then the check
//    moves to the completion walk;
//  - completing it (IoCompleteRequest), and the completion walk leaving a location after a
//    completion routine let the completion go on: every driver the location had must have
//    called it.
// Which driver passes the request on follows from the locations: when the next location has a
// driver already, the caller skipped its own (it is that driver); otherwise the caller is the
// driver of the current location. The walk forgets each location it leaves, so a location
// reused after a completion routine stopped the walk starts afresh.
#include <map>

#include "internal/io.h"
#include "po.h"

using namespace host::internal;
using host::verifier::Rule;

namespace {

struct Handler {
  PDRIVER_OBJECT driver = nullptr;  // of the device the request was given to
  bool startedNext = false;  // PoStartNextPowerIrp called at its location
  bool settled = false;      // checked (or reported) already
};

struct PowerRequest {
  std::weak_ptr<IrpRecord> record;  // tells a request from a later one at the same address
  std::map<int, std::vector<Handler>> at;  // by stack location (CurrentLocation's numbering)
  int walkFrom = 0;                         // the location IoCompleteRequest was called at
};

struct StartNextState {
  std::mutex mutex;
  std::map<PIRP, PowerRequest> requests;
};
StartNextState& N() {
  static auto* s = new StartNextState;
  return *s;
}

PIO_STACK_LOCATION Location(PIRP irp, int number) {
  return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (number - 1);
}

std::string DriverName(PDRIVER_OBJECT driver) {
  return driver != nullptr ? IopUtf8(&driver->DriverName) : std::string("a driver");
}

std::string RequestText(PIRP irp, UCHAR minor) {
  return std::string(MinorName(IRP_MJ_POWER, minor)) + " request " + IopHex(irp);
}

std::string RoutineText(const std::string& routine) {
  return routine.empty() ? std::string() : " (in " + routine + ")";
}

// The handler that is passing the request on, or NULL (the request goes to its top). Lock held.
Handler* Passer(PowerRequest& request, PIRP irp, bool* copied) {
  const int current = irp->CurrentLocation;
  auto below = request.at.find(current - 1);
  if (below != request.at.end() && !below->second.empty()) {
    *copied = false;
    return &below->second.back();
  }
  auto own = request.at.find(current);
  if (current > irp->StackCount || own == request.at.end() || own->second.empty()) {
    return nullptr;
  }
  *copied = true;
  return &own->second.back();
}

// Checks the driver passing `irp` on; returns the report to make ("" when none). Lock held.
std::string CheckPasserLocked(PowerRequest& request, PIRP irp) {
  bool copied = false;
  Handler* passer = Passer(request, irp, &copied);
  if (passer == nullptr || passer->settled) return std::string();
  if (passer->startedNext) {
    passer->settled = true;
    return std::string();
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  if (copied && next->CompletionRoutine != nullptr &&
      (next->Control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL))) {
    return std::string();  // its completion routine may still call it
  }
  passer->settled = true;
  return DriverName(passer->driver) + RoutineText(IopCurrentRoutine()) + " passed " +
         RequestText(irp, next->MinorFunction) +
         " on without calling PoStartNextPowerIrp for it at its own stack location first";
}

PowerRequest* FindLocked(PIRP irp, const std::shared_ptr<IrpRecord>& record) {
  auto it = N().requests.find(irp);
  if (it == N().requests.end()) return nullptr;
  if (it->second.record.lock() != record) {
    N().requests.erase(it);  // an earlier request at the same address
    return nullptr;
  }
  return &it->second;
}

void ReportAll(const std::vector<std::string>& reports) {
  for (const std::string& text : reports) Report(Rule::PowerIrpWithoutStartNext, text);
}

}  // namespace

namespace host::internal {

void IopPowerSending(const std::shared_ptr<IrpRecord>& record, PIRP irp, PDEVICE_OBJECT device,
                     bool viaPoCallDriver) {
  const bool handled = device->DriverObject != nullptr &&
                       device->DriverObject->MajorFunction[IRP_MJ_POWER] != nullptr;
  std::string report;
  bool byDriver = record->origin != IrpOrigin::Host;
  {
    std::lock_guard<std::mutex> lock(N().mutex);
    PowerRequest* request = FindLocked(irp, record);
    if (request != nullptr) {
      bool copied = false;
      byDriver = byDriver || Passer(*request, irp, &copied) != nullptr;
      report = CheckPasserLocked(*request, irp);
    }
    if (handled) {
      if (request == nullptr) {
        request = &N().requests[irp];
        request->record = record;
      }
      Handler handler;
      handler.driver = device->DriverObject;
      request->at[irp->CurrentLocation - 1].push_back(handler);
    }
  }
  // The power manager's own sending (inline inside the driver that asked for the request, too)
  // is no driver's call.
  if (byDriver) {
    IopPowerCall(host::pnp::PowerEvent::CallDriver, IoGetNextIrpStackLocation(irp),
                 STATUS_PENDING, device, viaPoCallDriver);
  }
  if (!report.empty()) ReportAll({report});
}

void PopCheckPowerPasser(PIRP irp) {
  std::shared_ptr<IrpRecord> record = IopFindIrp(irp);
  std::string report;
  {
    std::lock_guard<std::mutex> lock(N().mutex);
    if (PowerRequest* request = FindLocked(irp, record)) report = CheckPasserLocked(*request, irp);
  }
  if (!report.empty()) ReportAll({report});
}

void IopPowerCompleting(const std::shared_ptr<IrpRecord>& record, PIRP irp) {
  IopPowerCall(host::pnp::PowerEvent::CompletedBy, IoGetCurrentIrpStackLocation(irp),
               irp->IoStatus.Status);
  std::lock_guard<std::mutex> lock(N().mutex);
  if (PowerRequest* request = FindLocked(irp, record)) request->walkFrom = irp->CurrentLocation;
}

void IopPowerLeaving(const std::shared_ptr<IrpRecord>& record, PIRP irp) {
  const int current = irp->CurrentLocation;
  std::vector<Handler> left;
  bool completer = false;
  {
    std::lock_guard<std::mutex> lock(N().mutex);
    PowerRequest* request = FindLocked(irp, record);
    if (request == nullptr) return;
    auto it = request->at.find(current);
    if (it != request->at.end()) {
      left = std::move(it->second);
      request->at.erase(it);
    }
    completer = request->walkFrom == current;
    if (current >= irp->StackCount) N().requests.erase(irp);
  }
  std::vector<std::string> reports;
  for (const Handler& h : left) {
    if (h.settled || h.startedNext) continue;
    const UCHAR minor = Location(irp, current)->MinorFunction;
    if (completer) {
      reports.push_back(DriverName(h.driver) + RoutineText(IopCurrentRoutine()) + " completed " +
                        RequestText(irp, minor) +
                        " without calling PoStartNextPowerIrp for it at its own stack location "
                        "first");
    } else {
      PIO_COMPLETION_ROUTINE routine =
          current > 1 ? Location(irp, current - 1)->CompletionRoutine : nullptr;
      reports.push_back(
          DriverName(h.driver) +
          RoutineText(routine != nullptr ? Symbolize(reinterpret_cast<const void*>(routine))
                                         : std::string()) +
          " let the completion of " + RequestText(irp, minor) +
          " go on past its stack location without calling PoStartNextPowerIrp for it");
    }
  }
  ReportAll(reports);
}

void PopStartNext(PIRP irp, PDRIVER_OBJECT caller) {
  const int current = irp->CurrentLocation;
  std::lock_guard<std::mutex> lock(N().mutex);
  auto it = N().requests.find(irp);
  if (it == N().requests.end()) return;
  auto at = it->second.at.find(current);
  if (at == it->second.at.end()) return;
  for (size_t i = at->second.size(); i-- > 0;) {
    Handler& h = at->second[i];
    if (caller == nullptr || h.driver == caller) {
      h.startedNext = true;
      return;
    }
  }
}

void PopStartNextSessionStart() {
  std::lock_guard<std::mutex> lock(N().mutex);
  N().requests.clear();
}

}  // namespace host::internal
