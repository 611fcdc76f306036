// Driver code and the unload of a driver: which driver a routine belongs to, what of a driver
// still runs or waits to run when it is unloaded, and its code made unreachable afterwards.
//
// On the platform the I/O manager calls a driver's unload routine and then unmaps its image:
// a routine of the driver still running (a system worker routine that gave back its remove
// lock and goes on), a work item still queued, a DPC still queued or a timer still set then
// runs on code that is gone, and the machine stops (DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_
// OPERATIONS). Here, after the unload routine has returned, each of them is reported
// (DriverUnloadedInUse) and taken off the queues, and the code is made unreachable:
//  - a loaded image: its pages become inaccessible (the fault handler below reports a touch);
//  - the host-compiled driver, whose code cannot go away: its routines are remembered, and the
//    kernel reports one it is about to call (FrameScope: a work item, DPC, timer, completion or
//    dispatch routine called after the unload) — until the same code is loaded again.
//
// Which code is a driver's: an image's routines are its driver's (the image that holds the
// driver's entry point). The host-compiled driver's routines are those it hands to the kernel:
// its driver object's table (noted by the PnP manager after DriverEntry), the DPC routines it
// initialises and the work items it queues inside its routines, and the completion routines
// called for its devices.
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <unordered_map>

#include "internal/core.h"
#include "image_internal.h"

using host::verifier::Rule;

namespace host::internal {
namespace {

// ---- Routines handed over by drivers ------------------------------------------------------------

struct UnloadedRoutine {
  std::string driver;
  PDRIVER_INITIALIZE entry;  // the code's entry point: loading it again makes the code live
};

struct CodeTable {
  std::mutex mutex;
  // Routine -> the live drivers that handed it over (the host-compiled code may be loaded as
  // two drivers at once).
  std::unordered_map<const void*, std::vector<PDRIVER_OBJECT>> owners;
  // Routines of the host-compiled code of unloaded drivers.
  std::unordered_map<const void*, UnloadedRoutine> unloaded;
  std::atomic<bool> anyUnloaded{false};
  // Bumped whenever an owner is forgotten: invalidates the threads' caches of noted pairs.
  std::atomic<uint64_t> generation{1};
};
CodeTable& C() {
  static auto* c = new CodeTable;
  return *c;
}

// Each thread remembers the pairs it noted lately, so that noting the routine of every
// completion costs no lock once it is known.
struct NotedPair {
  const void* routine = nullptr;
  PDRIVER_OBJECT driver = nullptr;
  uint64_t generation = 0;
};
thread_local NotedPair tlsNoted[64];

bool Owns(const void* routine, PDRIVER_OBJECT driver) {
  CodeTable& c = C();
  std::lock_guard<std::mutex> lock(c.mutex);
  auto it = c.owners.find(routine);
  return it != c.owners.end() &&
         std::find(it->second.begin(), it->second.end(), driver) != it->second.end();
}

struct CodeHooks {
  CodeHooks() {
    AddSessionStartHook([] {
      CodeTable& c = C();
      std::lock_guard<std::mutex> lock(c.mutex);
      c.owners.clear();
      c.unloaded.clear();
      c.anyUnloaded = false;
      c.generation++;
    });
  }
} codeHooks;

// ---- Unloaded images: inaccessible pages and the fault handler ------------------------------------

// Read by the signal handler: fixed slots of plain atomics, no allocation.
constexpr size_t kUnloadedSlots = 64;
constexpr size_t kKeptMappings = 16;  // mappings kept after their Image is destroyed
constexpr size_t kSlotSections = 24;

struct UnloadedSlot {
  std::atomic<int> state{0};  // 0 free, 1 inaccessible, 2 touched (accessible again)
  std::atomic<uintptr_t> base{0};
  std::atomic<size_t> size{0};
  std::atomic<const image::Image*> image{nullptr};  // NULL once the Image is destroyed
  std::atomic<bool> kept{false};                     // the mapping is ours to unmap
  std::atomic<uint64_t> order{0};
  char driver[96] = {};
  char file[64] = {};
  PageProtection sections[kSlotSections] = {};
  size_t sectionCount = 0;
};
UnloadedSlot gSlots[kUnloadedSlots];
std::atomic<uint64_t> gSlotOrder{0};
std::mutex gSlotMutex;  // changes to the slots (not the handler's reads)


void CopyText(char* out, size_t size, const std::string& text) {
  size_t n = std::min(size - 1, text.size());
  std::memcpy(out, text.data(), n);
  out[n] = 0;
}

bool InSlot(const UnloadedSlot& s, uintptr_t address) {
  uintptr_t base = s.base.load();
  return address >= base && address - base < s.size.load();
}

// The slot of an unloaded image whose pages hold `address`.
UnloadedSlot* SlotOf(uintptr_t address) {
  for (UnloadedSlot& s : gSlots) {
    if (s.state.load() != 0 && InSlot(s, address)) return &s;
  }
  return nullptr;
}

// The protection `address` has once the slot's pages are accessible again.
int RestoredProtection(const UnloadedSlot& s, uintptr_t address) {
  int protection = PROT_NONE;
  for (size_t i = 0; i < s.sectionCount; ++i) {
    const PageProtection& p = s.sections[i];
    if (address >= p.start && address - p.start < p.size) protection = p.protection;
  }
  return protection;
}

void Restore(UnloadedSlot& s) {
  for (size_t i = 0; i < s.sectionCount; ++i) {
    mprotect(reinterpret_cast<void*>(s.sections[i].start), s.sections[i].size,
             s.sections[i].protection);
  }
}

// A touch of an unloaded image is a synchronous fault of the thread that made it, in driver code
// or in the kernel's code on the driver's behalf (never inside the allocator or while the kernel
// holds one of its own locks for itself), so reporting from here is as safe as reporting from
// the code that faulted.
bool OnFault(void* signalInfo, void* context) {
  auto* info = static_cast<siginfo_t*>(signalInfo);
  uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
  UnloadedSlot* slot = SlotOf(address);
  // Pages that stay inaccessible once restored (a discarded section) are not ours to forgive.
  if (slot == nullptr || RestoredProtection(*slot, address) == PROT_NONE) return false;
  int expected = 1;
  if (!slot->state.compare_exchange_strong(expected, 2)) {
    return true;  // another thread reported it and is making the pages accessible: run it again
  }
  Restore(*slot);
  uintptr_t ip = FaultingInstruction(context);
  const image::Image* image = slot->image.load();
  auto name = [&](uintptr_t a) {
    if (image != nullptr) return image->Name(reinterpret_cast<const void*>(a));
    return std::string(slot->file) + "+" + Hex(a - slot->base.load());
  };
  std::string what = ip == address ? "executed at " + name(address)
                                   : "touched at " + name(address) + " by " +
                                         (InSlot(*slot, ip) ? name(ip)
                                                            : Symbolize(reinterpret_cast<const void*>(ip)));
  Report(Rule::DriverUnloadedInUse,
         "the image " + std::string(slot->file) + " of driver " + slot->driver +
             ", unloaded, was " + what + " (address " + Hex(address) +
             "); its pages are made accessible again so the run can go on");
  return true;
}

// The kernel's fault handler (verifier/guarded_pages.cpp) asks OnFault about every fault outside
// its guarded pages.
void Install() { AddFaultHook(OnFault); }

// gSlotMutex held. The oldest slot in use, among the kept mappings (`kept`) or all.
UnloadedSlot* OldestSlot(bool kept) {
  UnloadedSlot* oldest = nullptr;
  for (UnloadedSlot& s : gSlots) {
    if (s.state.load() == 0 || (kept && !s.kept)) continue;
    if (oldest == nullptr || s.order < oldest->order) oldest = &s;
  }
  return oldest;
}

// gSlotMutex held. Gives a slot up: a kept mapping is unmapped, the pages of an image that still
// exists become accessible again (the image unloaded longest ago).
void Evict(UnloadedSlot& s) {
  if (s.kept) {
    munmap(reinterpret_cast<void*>(s.base.load()), s.size.load());
  } else {
    Restore(s);
  }
  s.state = 0;
  s.kept = false;
  s.image = nullptr;
}

// gSlotMutex held.
UnloadedSlot* FreeSlot() {
  for (UnloadedSlot& s : gSlots) {
    if (s.state.load() == 0) return &s;
  }
  UnloadedSlot* oldest = OldestSlot(true);
  if (oldest == nullptr) oldest = OldestSlot(false);
  Evict(*oldest);
  return oldest;
}

std::string FrameText(const ThreadFrames& t, const Frame& frame) {
  Frame bare = frame;  // the request and device may be gone by now
  bare.irp = nullptr;
  bare.device = nullptr;
  return DescribeFrame(bare) + " is still running on thread " + t.thread;
}

}  // namespace

// ---- Noting and checking routines ---------------------------------------------------------------

void NoteDriverCode(const void* routine, PDRIVER_OBJECT driver) {
  if (routine == nullptr || driver == nullptr) return;
  CodeTable& c = C();
  uint64_t generation = c.generation.load(std::memory_order_relaxed);
  NotedPair& cached =
      tlsNoted[((reinterpret_cast<uintptr_t>(routine) >> 4) ^ (reinterpret_cast<uintptr_t>(driver) >> 6)) % 64];
  if (cached.routine == routine && cached.driver == driver && cached.generation == generation) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    auto& drivers = c.owners[routine];
    if (std::find(drivers.begin(), drivers.end(), driver) == drivers.end()) drivers.push_back(driver);
  }
  cached = {routine, driver, generation};
}

void EnteringDriverRoutine(const Frame& frame) {
  if (frame.kind == Frame::Completion && (frame.driver != nullptr || frame.device != nullptr)) {
    NoteDriverCode(frame.routine, frame.driver != nullptr ? frame.driver : frame.device->DriverObject);
  }
  CodeTable& c = C();
  if (!c.anyUnloaded.load(std::memory_order_acquire) || frame.routine == nullptr) return;
  std::string driver;
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    auto it = c.unloaded.find(frame.routine);
    if (it == c.unloaded.end()) return;
    driver = it->second.driver;
  }
  Frame bare = frame;
  bare.irp = nullptr;
  bare.device = nullptr;
  Report(Rule::DriverUnloadedInUse, DescribeFrame(bare) + " is called after its driver " + driver +
                                        " was unloaded (on the platform its code is gone)");
}

void DriverCodeLoading(PDRIVER_INITIALIZE entry) {
  CodeTable& c = C();
  std::lock_guard<std::mutex> lock(c.mutex);
  for (auto it = c.unloaded.begin(); it != c.unloaded.end();) {
    it = it->second.entry == entry ? c.unloaded.erase(it) : std::next(it);
  }
  c.anyUnloaded = !c.unloaded.empty();
}

void UnloadDriverCode(PDRIVER_OBJECT driver, const std::string& name,
                      const std::function<bool(PDEVICE_OBJECT)>& ownDevice) {
  const image::Image* image = FindImage(reinterpret_cast<const void*>(driver->DriverInit));
  auto isCode = [&](const void* routine) {
    if (routine == nullptr) return false;
    if (image != nullptr && image->Contains(routine)) return true;
    return Owns(routine, driver);
  };

  // What still runs: a routine of the driver on any thread's stack.
  std::vector<std::string> findings;
  std::vector<ThreadFrames> threads = AllThreadFrames();
  std::sort(threads.begin(), threads.end(),
            [](const ThreadFrames& a, const ThreadFrames& b) { return a.thread < b.thread; });
  for (const ThreadFrames& t : threads) {
    for (size_t i = t.frames.size(); i-- > 0;) {
      const Frame& f = t.frames[i];
      if (f.driver == driver || isCode(f.routine) || (f.device != nullptr && ownDevice(f.device))) {
        findings.push_back(FrameText(t, f));
        break;  // the innermost routine of the driver on that thread
      }
    }
  }
  // What waits to run: work items, DPCs, timers.
  std::vector<PDEVICE_OBJECT> release;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    UnloadedDriverWorkItems(driver, isCode, &findings, &release);
    UnloadedDriverTimersDpcs(isCode, &findings);
  }
  for (PDEVICE_OBJECT device : release) ObDereferenceObject(device);
  if (!findings.empty()) WakeWaiters();
  for (const std::string& finding : findings) {
    Report(Rule::DriverUnloadedInUse, "driver " + name + " was unloaded while " + finding +
                                          " (on the platform its code is gone)");
  }

  // The code becomes unreachable.
  {
    CodeTable& c = C();
    std::lock_guard<std::mutex> lock(c.mutex);
    for (auto it = c.owners.begin(); it != c.owners.end();) {
      auto& drivers = it->second;
      drivers.erase(std::remove(drivers.begin(), drivers.end(), driver), drivers.end());
      if (!drivers.empty()) {
        ++it;
        continue;
      }
      if (image == nullptr || !image->Contains(it->first)) {
        c.unloaded[it->first] = UnloadedRoutine{name, driver->DriverInit};
      }
      it = c.owners.erase(it);
    }
    c.anyUnloaded = !c.unloaded.empty();
    c.generation++;
  }
  if (image != nullptr) {
    ImageUnloadAccess::Unload(*const_cast<image::Image*>(image), name);
  }
}

// ---- Images ---------------------------------------------------------------------------------------

void ImageUnloadAccess::Unload(image::Image& image, const std::string& driver) {
  if (image.unloaded_) return;
  image.unloaded_ = true;
  std::vector<PageProtection> protections = Protections(image);
  {
    std::lock_guard<std::mutex> lock(gSlotMutex);
    Install();
    UnloadedSlot* slot = FreeSlot();
    if (slot != nullptr) {
      CopyText(slot->driver, sizeof slot->driver, driver);
      CopyText(slot->file, sizeof slot->file, image.fileName_);
      slot->sectionCount = std::min(protections.size(), kSlotSections);
      std::copy_n(protections.begin(), slot->sectionCount, slot->sections);
      slot->base = image.base_;
      slot->size = image.mapping_;
      slot->image = &image;
      slot->kept = false;
      slot->order = ++gSlotOrder;
      slot->state = 1;
      mprotect(reinterpret_cast<void*>(image.base_), image.mapping_, PROT_NONE);
    }
  }
}

bool KeepUnloadedMapping(const image::Image* image) {
  std::lock_guard<std::mutex> lock(gSlotMutex);
  UnloadedSlot* mine = nullptr;
  size_t kept = 0;
  for (UnloadedSlot& s : gSlots) {
    if (s.state.load() != 0 && s.image.load() == image) mine = &s;
    if (s.kept) kept++;
  }
  if (mine == nullptr) return false;
  if (kept >= kKeptMappings) Evict(*OldestSlot(true));
  // Inaccessible again, with no Image left to name its routines.
  mprotect(reinterpret_cast<void*>(mine->base.load()), mine->size.load(), PROT_NONE);
  mine->image = nullptr;
  mine->kept = true;
  mine->state = 1;
  return true;
}

}  // namespace host::internal

namespace host::image {

void InstallUnloadedImageFaultHandler() {
  std::lock_guard<std::mutex> lock(internal::gSlotMutex);
  internal::Install();
}

}  // namespace host::image
