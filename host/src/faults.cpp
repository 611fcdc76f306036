// The low-resources simulation: failing the nth pool or request allocation, or the nth call of a
// named service, and the WDM version the system claims. Everything is reset at session start.
#include <map>

#include "core.h"

namespace host::internal {
namespace {

struct PendingFault {
  uint64_t call;  // the service's call number that fails
  NTSTATUS status;
};

struct FaultState {
  std::mutex mutex;
  uint64_t poolAttempts = 0;
  uint64_t irpAttempts = 0;
  uint64_t failPoolAt = 0;  // 0: none; else the attempts [failPoolAt, failPoolEnd) fail
  uint64_t failPoolEnd = 0;
  uint64_t failIrpAt = 0;
  uint64_t failIrpEnd = 0;
  std::map<std::string, uint64_t> serviceCalls;
  std::map<std::string, std::vector<PendingFault>> serviceFaults;
  UCHAR wdmMajor = 1;
  UCHAR wdmMinor = 0x20;
};
FaultState& F() {
  static FaultState* f = new FaultState;
  return *f;
}

}  // namespace

bool ShouldFailPoolAllocation() {
  FaultState& f = F();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.poolAttempts++;
  return f.failPoolAt != 0 && f.poolAttempts >= f.failPoolAt && f.poolAttempts < f.failPoolEnd;
}

bool ShouldFailIrpAllocation() {
  FaultState& f = F();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.irpAttempts++;
  return f.failIrpAt != 0 && f.irpAttempts >= f.failIrpAt && f.irpAttempts < f.failIrpEnd;
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
  f.serviceFaults.clear();
}

void SetWdmVersion(UCHAR major, UCHAR minor) {
  auto& f = internal::F();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.wdmMajor = major;
  f.wdmMinor = minor;
}

}  // namespace host::verifier
