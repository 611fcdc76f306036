// The low-resources simulation: failing the nth pool or request allocation (of anyone, or of one
// driver, counted apart), or the nth call of a named service, and the WDM version the system
// claims. Everything is reset at session start.
#include <map>

#include "internal/core.h"

namespace host::internal {
namespace {

struct PendingFault {
  uint64_t call;  // the service's call number that fails
  NTSTATUS status;
};

// One driver's allocations, counted apart from everyone else's.
struct DriverFaults {
  uint64_t poolAttempts = 0;
  uint64_t irpAttempts = 0;
  uint64_t failPoolAt = 0;  // 0: none
  uint64_t failIrpAt = 0;
};

struct FaultState {
  std::mutex mutex;
  uint64_t poolAttempts = 0;
  uint64_t irpAttempts = 0;
  uint64_t failPoolAt = 0;  // 0: none; else the attempts [failPoolAt, failPoolEnd) fail
  uint64_t failPoolEnd = 0;
  uint64_t failIrpAt = 0;
  uint64_t failIrpEnd = 0;
  std::map<std::string, DriverFaults> drivers;  // by driver name
  std::map<std::string, uint64_t> serviceCalls;
  std::map<std::string, std::vector<PendingFault>> serviceFaults;
  UCHAR wdmMajor = 1;
  UCHAR wdmMinor = 0x20;
};
FaultState& F() {
  static FaultState* f = new FaultState;
  return *f;
}

// The name of the driver an allocation made now is charged to ("" for the system's own).
std::string ChargedDriverName() {
  PDRIVER_OBJECT driver = ChargedDriver();
  if (driver == nullptr || driver->DriverName.Buffer == nullptr) return "";
  return Utf16ToUtf8(reinterpret_cast<const uint16_t*>(driver->DriverName.Buffer),
                     driver->DriverName.Length / sizeof(WCHAR));
}

// One attempt against a driver's counter and its pending failure (0: none); true if this one fails.
bool Attempt(uint64_t& attempts, uint64_t& failAt) {
  attempts++;
  if (failAt != 0 && attempts == failAt) {
    failAt = 0;
    return true;
  }
  return false;
}

// One attempt against the kernel-wide counter: the attempts [failAt, failEnd) fail.
bool AttemptRun(uint64_t& attempts, uint64_t failAt, uint64_t failEnd) {
  attempts++;
  return failAt != 0 && attempts >= failAt && attempts < failEnd;
}

}  // namespace

bool ShouldFailPoolAllocation() {
  const std::string driver = ChargedDriverName();
  FaultState& f = F();
  std::lock_guard<std::mutex> lock(f.mutex);
  DriverFaults& d = f.drivers[driver];
  const bool forDriver = Attempt(d.poolAttempts, d.failPoolAt);
  return AttemptRun(f.poolAttempts, f.failPoolAt, f.failPoolEnd) || forDriver;
}

bool ShouldFailIrpAllocation() {
  const std::string driver = ChargedDriverName();
  FaultState& f = F();
  std::lock_guard<std::mutex> lock(f.mutex);
  DriverFaults& d = f.drivers[driver];
  const bool forDriver = Attempt(d.irpAttempts, d.failIrpAt);
  return AttemptRun(f.irpAttempts, f.failIrpAt, f.failIrpEnd) || forDriver;
}

std::optional<NTSTATUS> ServiceFault(const char* service) {
  FaultState& f = F();
  std::optional<NTSTATUS> result;
  {
    std::lock_guard<std::mutex> lock(f.mutex);
    uint64_t call = ++f.serviceCalls[service];
    auto it = f.serviceFaults.find(service);
    if (it != f.serviceFaults.end()) {
      auto& pending = it->second;
      for (auto p = pending.begin(); p != pending.end(); ++p) {
        if (p->call == call) {
          result = p->status;
          pending.erase(p);
          break;
        }
      }
    }
  }
  if (result && TraceOn()) Trace("%s fails with 0x%08X (low-resources simulation)", service, static_cast<unsigned>(*result));
  return result;
}

bool WdmVersionAvailable(UCHAR major, UCHAR minor) {
  FaultState& f = F();
  std::lock_guard<std::mutex> lock(f.mutex);
  return major < f.wdmMajor || (major == f.wdmMajor && minor <= f.wdmMinor);
}

void FaultsSessionStart() {
  FaultState& f = F();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.poolAttempts = f.irpAttempts = 0;
  f.failPoolAt = f.failIrpAt = 0;
  f.drivers.clear();
  f.serviceCalls.clear();
  f.serviceFaults.clear();
  f.wdmMajor = 1;
  f.wdmMinor = 0x20;
}

}  // namespace host::internal

namespace host::verifier {

void FailPoolAllocation(unsigned nth, unsigned count) {
  auto& f = internal::F();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.failPoolAt = nth == 0 ? 0 : f.poolAttempts + nth;
  f.failPoolEnd = f.failPoolAt + count;
}

void FailIrpAllocation(unsigned nth, unsigned count) {
  auto& f = internal::F();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.failIrpAt = nth == 0 ? 0 : f.irpAttempts + nth;
  f.failIrpEnd = f.failIrpAt + count;
}

void FailPoolAllocation(unsigned nth, const std::string& driver) {
  auto& f = internal::F();
  std::lock_guard<std::mutex> lock(f.mutex);
  internal::DriverFaults& d = f.drivers[driver];
  d.failPoolAt = nth == 0 ? 0 : d.poolAttempts + nth;
}

void FailIrpAllocation(unsigned nth, const std::string& driver) {
  auto& f = internal::F();
  std::lock_guard<std::mutex> lock(f.mutex);
  internal::DriverFaults& d = f.drivers[driver];
  d.failIrpAt = nth == 0 ? 0 : d.irpAttempts + nth;
}

AllocationCounts DriverAllocationCounts(const std::string& driver) {
  auto& f = internal::F();
  std::lock_guard<std::mutex> lock(f.mutex);
  auto it = f.drivers.find(driver);
  if (it == f.drivers.end()) return {};
  return {it->second.poolAttempts, it->second.irpAttempts};
}

uint64_t PoolAllocationCount() {
  auto& f = internal::F();
  std::lock_guard<std::mutex> lock(f.mutex);
  return f.poolAttempts;
}

uint64_t IrpAllocationCount() {
  auto& f = internal::F();
  std::lock_guard<std::mutex> lock(f.mutex);
  return f.irpAttempts;
}

void FailService(const std::string& service, NTSTATUS status, unsigned nth) {
  if (nth == 0) return;
  auto& f = internal::F();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.serviceFaults[service].push_back({f.serviceCalls[service] + nth, status});
}

// Pending failures are dropped; the counters and the WDM version stay.
void ClearFaults() {
  auto& f = internal::F();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.failPoolAt = f.failIrpAt = 0;
  for (auto& [name, d] : f.drivers) d.failPoolAt = d.failIrpAt = 0;
  f.serviceFaults.clear();
}

void SetWdmVersion(UCHAR major, UCHAR minor) {
  auto& f = internal::F();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.wdmMajor = major;
  f.wdmMinor = minor;
}

}  // namespace host::verifier
