// Pool: every allocation tracked (size, tag, pool type, the code that asked for it, the routine
// and driver it was made for), so that misuse and leaks can be reported with their origin.
//
// Allocations come from the C library's heap, so AddressSanitizer catches overruns and uses after
// free. New pool is not zeroed: it is filled with 0xCD, so a driver that forgets to initialise a
// field sees a recognisable value instead of a lucky zero. Memory the system allocates for itself
// (SystemAllocate) is zeroed, as device extensions are.
//
// Paged pool is allowed below DISPATCH_LEVEL, for allocating and for freeing, and counted (the
// driver keeps everything resident, so a test can check that it never asks for paged pool).
//
// Driver Verifier's pool checks the platform's kernel makes only under it are made always: a
// zero-byte allocation (bug check 0xC4, parameter 0x0) and a free with a tag other than the
// allocation's (ExFreePoolWithTag; BAD_POOL_CALLER 0xC2, parameter 0xA) are PoolMisuse.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "internal/core.h"

using host::verifier::Rule;

namespace host::internal {
namespace {

struct Allocation {
  size_t size = 0;
  ULONG tag = 0;
  POOL_TYPE type = NonPagedPool;
  const void* caller = nullptr;
  const void* routine = nullptr;
  PDRIVER_OBJECT driver = nullptr;
  const char* what = "";     // SystemAllocate's `what`: a literal
  bool system = false;       // SystemAllocate
  bool driverOwned = true;   // counts as driver pool
  bool leakReported = false;
};

// Every request the host sends allocates and frees (the request, its system buffer), so the
// table is a hash map and the freed addresses a ring that only a bad free looks through.
struct PoolState {
  std::mutex mutex;
  std::unordered_map<const void*, Allocation> live;
  // The latest freed addresses, for clearer reports ("already freed"); an address allocated
  // again since counts as what it is now.
  std::vector<const void*> freed = std::vector<const void*>(4096);
  size_t freedNext = 0;
  uint64_t pagedAllocations = 0;
};
PoolState& P() {
  static PoolState* p = new PoolState;
  return *p;
}

bool IsPagedType(POOL_TYPE type) { return type == PagedPool || type == PagedPoolCacheAligned; }

// ExAllocatePool is ExAllocatePoolWithTag with the tag 'None'; the high bit is PROTECTED_POOL,
// which ExFreePoolWithTag ignores when it compares.
constexpr ULONG kNoneTag = 0x656E6F4E;  // 'None' in memory order
constexpr ULONG kProtectedPool = 0x80000000;
bool IsCacheAligned(POOL_TYPE type) {
  return type == NonPagedPoolCacheAligned || type == PagedPoolCacheAligned ||
         type == NonPagedPoolCacheAlignedMustS;
}

// The routine and driver the innermost frame stands for.
void Attribute(Allocation* a) {
  const ThreadState& t = CurrentThread();
  if (t.frames.empty()) return;
  a->routine = t.frames.back().routine;
  a->driver = ChargedDriver();
}

void Remember(const void* p, Allocation a) {
  PoolState& s = P();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.live[p] = std::move(a);
}

std::optional<Allocation> Take(const void* p, bool* wasFreed) {
  PoolState& s = P();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.live.find(p);
  if (it == s.live.end()) {
    *wasFreed = std::find(s.freed.begin(), s.freed.end(), p) != s.freed.end();
    return std::nullopt;
  }
  Allocation a = std::move(it->second);
  s.live.erase(it);
  s.freed[s.freedNext] = p;
  s.freedNext = (s.freedNext + 1) % s.freed.size();
  return a;
}

std::string TagText(ULONG tag) {
  if (tag == 0) return "no tag";
  char c[4];
  std::memcpy(c, &tag, 4);
  for (char ch : c) {
    if (ch < 0x20 || ch > 0x7e) return "tag " + Hex(tag);
  }
  return std::string("tag '") + std::string(c, 4) + "'";
}

std::string AllocationText(const PoolAllocationInfo& a) {
  std::string text = Format("%zu bytes at %s, %s, allocated by %s", a.size,
                            Hex(reinterpret_cast<uintptr_t>(a.address)).c_str(),
                            TagText(a.tag).c_str(), Symbolize(a.caller).c_str());
  if (a.routine != nullptr && a.routine != a.caller) text += " in " + Symbolize(a.routine);
  if (!a.what.empty()) text += " (" + a.what + ")";
  return text;
}

PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* caller, const char* service) {
  KIRQL irql = CurrentThread().irql;
  RequireSession(service);
  if (irql > DISPATCH_LEVEL) {
    Report(Rule::IrqlMisuse, Format("%s at %s (above DISPATCH_LEVEL)", service, IrqlName(irql).c_str()));
  } else if (IsPagedType(type) && irql >= DISPATCH_LEVEL) {
    Report(Rule::IrqlMisuse, Format("%s of paged pool at %s", service, IrqlName(irql).c_str()));
  }
  if (bytes == 0) {
    Report(Rule::PoolMisuse, Format("%s of 0 bytes (%s): Driver Verifier stops on a zero-byte "
                                    "allocation", service, TagText(tag).c_str()));
  }
  if (ShouldFailPoolAllocation()) {
    if (TraceOn()) Trace("%s(type %d, %zu bytes, %s) -> NULL (low-resources simulation)", service, type, bytes, TagText(tag).c_str());
    return nullptr;
  }
  void* p = IsCacheAligned(type) ? std::aligned_alloc(64, (bytes + 63) / 64 * 64)
                                 : std::malloc(bytes != 0 ? bytes : 1);
  if (p == nullptr) return nullptr;
  std::memset(p, 0xCD, bytes);
  Allocation a;
  a.size = bytes;
  a.tag = tag;
  a.type = type;
  a.caller = caller;
  Attribute(&a);
  if (IsPagedType(type)) {
    std::lock_guard<std::mutex> lock(P().mutex);
    P().pagedAllocations++;
  }
  Remember(p, std::move(a));
  if (TraceOn()) Trace("%s(type %d, %zu bytes, %s) -> %p", service, type, bytes, TagText(tag).c_str(), p);
  return p;
}

// `tag` is what ExFreePoolWithTag was given (0: ExFreePool, nothing to compare).
void FreePool(PVOID p, const char* service, ULONG tag) {
  KIRQL irql = CurrentThread().irql;
  if (TraceOn()) Trace("%s(%p)", service, p);
  if (irql > DISPATCH_LEVEL) {
    Report(Rule::IrqlMisuse, Format("%s at %s (above DISPATCH_LEVEL)", service, IrqlName(irql).c_str()));
  }
  if (p == nullptr) {
    Report(Rule::PoolMisuse, Format("%s(NULL)", service));
    return;
  }
  bool wasFreed = false;
  std::optional<Allocation> a = Take(p, &wasFreed);
  if (!a) {
    Report(Rule::PoolMisuse,
           Format("%s of %s, %s", service, Hex(reinterpret_cast<uintptr_t>(p)).c_str(),
                  wasFreed ? "which was already freed" : "which is not the start of a pool allocation"));
    return;
  }
  if (a->system && !a->driverOwned) {
    Report(Rule::PoolMisuse, Format("%s of %s, which the system owns (%s)", service,
                                    Hex(reinterpret_cast<uintptr_t>(p)).c_str(), a->what));
    Remember(p, std::move(*a));
    return;
  }
  if (IsPagedType(a->type) && irql == DISPATCH_LEVEL) {
    Report(Rule::IrqlMisuse, Format("%s of paged pool (%zu bytes at %s, %s) at %s", service,
                                    a->size, Hex(reinterpret_cast<uintptr_t>(p)).c_str(),
                                    TagText(a->tag).c_str(), IrqlName(irql).c_str()));
  }
  const ULONG allocated = a->system ? 0 : a->tag != 0 ? a->tag : kNoneTag;
  if (tag != 0 && !a->system && (tag & ~kProtectedPool) != (allocated & ~kProtectedPool)) {
    Report(Rule::PoolMisuse, Format("%s of %s with %s; it was allocated with %s (Driver "
                                    "Verifier's pool tag check); it is freed",
                                    service, Hex(reinterpret_cast<uintptr_t>(p)).c_str(),
                                    TagText(tag).c_str(), TagText(allocated).c_str()));
  }
  CheckFreedRange(p, a->size, a->system ? a->what : "pool allocation");
  std::free(p);
}

// In address order, as reports list them.
std::vector<PoolAllocationInfo> Outstanding(PDRIVER_OBJECT driver, bool unreportedOnly) {
  std::vector<PoolAllocationInfo> out;
  {
    PoolState& s = P();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& [address, a] : s.live) {
      if (!a.driverOwned) continue;
      if (driver != nullptr && a.driver != driver) continue;
      if (unreportedOnly && a.leakReported) continue;
      out.push_back(PoolAllocationInfo{address, a.size, a.tag, a.caller, a.routine, a.driver, a.what});
    }
  }
  std::sort(out.begin(), out.end(), [](const PoolAllocationInfo& a, const PoolAllocationInfo& b) {
    return std::less<const void*>()(a.address, b.address);
  });
  return out;
}

}  // namespace

PDRIVER_OBJECT ChargedDriver() {
  const ThreadState& t = CurrentThread();
  for (size_t i = t.frames.size(); i-- > 0;) {
    const Frame& g = t.frames[i];
    if (g.driver != nullptr) return g.driver;
    if (g.device != nullptr) return g.device->DriverObject;
  }
  return nullptr;
}

void* SystemAllocate(size_t size, const char* what, bool ownerIsDriver) {
  void* p = std::calloc(size != 0 ? size : 1, 1);
  if (p == nullptr) return nullptr;
  Allocation a;
  a.size = size;
  a.caller = __builtin_return_address(0);
  a.what = what != nullptr ? what : "system memory";
  a.system = true;
  a.driverOwned = ownerIsDriver;
  Attribute(&a);
  Remember(p, std::move(a));
  return p;
}

void SystemFree(void* p) {
  if (p == nullptr) return;
  bool wasFreed = false;
  std::optional<Allocation> a = Take(p, &wasFreed);
  if (!a) {
    Report(Rule::PoolMisuse, Format("system free of %s, %s", Hex(reinterpret_cast<uintptr_t>(p)).c_str(),
                                    wasFreed ? "which was already freed" : "which is not an allocation"));
    return;
  }
  CheckFreedRange(p, a->size, a->what);
  std::free(p);
}

bool IsPoolAllocation(const void* p) {
  PoolState& s = P();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.live.count(p) != 0;
}

std::vector<PoolAllocationInfo> OutstandingDriverPool(PDRIVER_OBJECT driver) {
  return Outstanding(driver, false);
}

size_t CheckPoolLeaks(PDRIVER_OBJECT driver, const char* when) {
  std::vector<PoolAllocationInfo> leaks = Outstanding(driver, true);
  if (leaks.empty()) return 0;
  size_t bytes = 0;
  std::string list;
  for (const PoolAllocationInfo& a : leaks) {
    bytes += a.size;
    list += "; " + AllocationText(a);
  }
  {
    PoolState& s = P();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (const PoolAllocationInfo& a : leaks) {
      auto it = s.live.find(a.address);
      if (it != s.live.end()) it->second.leakReported = true;
    }
  }
  Report(Rule::PoolLeak, Format("%zu pool allocation%s (%zu bytes) left allocated %s", leaks.size(),
                                leaks.size() == 1 ? "" : "s", bytes, when) + list);
  return leaks.size();
}

void PoolSessionStart() {
  PoolState& s = P();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::fill(s.freed.begin(), s.freed.end(), nullptr);
  s.pagedAllocations = 0;
}

// Leaks are reported, then everything still allocated is released (the session is over; this
// keeps LeakSanitizer's report for the host's own leaks).
void PoolSessionEnd() {
  CheckPoolLeaks(nullptr, "at session end");
  std::unordered_map<const void*, Allocation> rest;
  {
    PoolState& s = P();
    std::lock_guard<std::mutex> lock(s.mutex);
    rest.swap(s.live);
    std::fill(s.freed.begin(), s.freed.end(), nullptr);
  }
  for (auto& [p, a] : rest) std::free(const_cast<void*>(p));
}

}  // namespace host::internal

namespace host::verifier {
uint64_t PagedPoolAllocationCount() {
  std::lock_guard<std::mutex> lock(internal::P().mutex);
  return internal::P().pagedAllocations;
}

PoolUsage CurrentPoolUsage() {
  PoolUsage usage;
  for (const auto& a : internal::Outstanding(nullptr, false)) {
    usage.allocations++;
    usage.bytes += a.size;
  }
  return usage;
}
}  // namespace host::verifier

using namespace host::internal;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  HostSwitchPoint("ExAllocatePoolWithTag");
  return Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0), "ExAllocatePoolWithTag");
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  HostSwitchPoint("ExAllocatePool");
  return Allocate(PoolType, NumberOfBytes, 0, __builtin_return_address(0), "ExAllocatePool");
}

VOID ExFreePool(PVOID P) {
  HostSwitchPoint("ExFreePool");
  FreePool(P, "ExFreePool", 0);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
  HostSwitchPoint("ExFreePoolWithTag");
  FreePool(P, "ExFreePoolWithTag", Tag);
}

}  // extern "C"
