// Guarded pages: memory the platform may free at a point a driver must not look past (a request
// once its completion has left the top stack location, a request freed with IoFreeIrp).
//
// Each guarded block has a slot of its own in one reserved arena. Releasing a block takes every
// access right from its slot; a later touch, by the driver's code (host-compiled or an x86 image)
// or by anything else, faults. The fault handler cannot build a report (it runs in a signal
// context, maybe deep in the driver), so it notes the touch (address, instruction, read or
// write) in the thread's own small log and opens the slot again, so that the instruction
// completes and the test goes on as the platform would have gone on with memory not yet reused.
// The thread reports the touch (RequestUsedAfterRelease) at its next passage through a driver
// routine's frame: when the routine that touched returns into the kernel, or calls a routine.
// A slot is reused only after a quarantine (its owner decides when), so the touched memory
// still holds what it held.
//
// The handler is the kernel's one SIGSEGV handler: faults outside the arena go to the other
// owners of protected memory (AddFaultHook: unloaded driver images), then to the handler that was
// installed before (AddressSanitizer's, ThreadSanitizer's, a test's, or the default action).
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "internal/kernel.h"

namespace host::internal {
namespace {

constexpr size_t kSlotSize = 4096;
constexpr size_t kSlots = 8192;  // 32 MiB of address space, committed as slots are used

enum SlotState : uint8_t { kUnused, kLive, kReleased };

struct Arena {
  uint8_t* base = nullptr;
  std::atomic<uint8_t> state[kSlots];
  std::atomic<uint32_t> generation[kSlots];
  std::mutex mutex;  // the free list; never taken by the fault handler
  uint32_t freeList[kSlots];
  size_t freeCount = 0;
  GuardDescribeFn describe = nullptr;
};

Arena* gArena = nullptr;
std::atomic<bool> gGuardedRequests{true};

// The kernel's one fault handler: guarded pages first, then the other owners of protected memory
// (FaultHook), then the handler that was installed before it.
std::mutex gHandlerMutex;
struct sigaction gPrevious {};
constexpr int kMaxHooks = 4;
std::atomic<FaultHook> gHooks[kMaxHooks];

// The calling thread's touches not yet reported. Written only by the thread itself (in its
// fault handler), read by it outside the handler.
struct Touch {
  uintptr_t address;
  uintptr_t pc;
  uint32_t slot;
  uint32_t generation;
  bool write;
};
constexpr int kMaxTouches = 8;
struct TouchLog {
  volatile sig_atomic_t count;
  volatile sig_atomic_t lost;
  Touch touches[kMaxTouches];
};
thread_local TouchLog tlsTouches;

// A touch of a guarded page: noted, and the page opened.
bool GuardFault(siginfo_t* info, void* context) {
  Arena* a = gArena;
  if (a == nullptr) return false;
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  const auto base = reinterpret_cast<uintptr_t>(a->base);
  if (address >= base && address < base + kSlots * kSlotSize) {
    const size_t slot = (address - base) / kSlotSize;
    // A released slot (or one whose quarantine is over): open it so the access completes.
    if (a->state[slot].load() != kLive &&
        mprotect(a->base + slot * kSlotSize, kSlotSize, PROT_READ | PROT_WRITE) == 0) {
      TouchLog& log = tlsTouches;
      if (log.count < kMaxTouches) {
        Touch& t = log.touches[log.count];
        t.address = address;
        t.pc = FaultingInstruction(context, &t.write);
        t.slot = static_cast<uint32_t>(slot);
        t.generation = a->generation[slot].load();
        log.count = log.count + 1;
      } else {
        log.lost = log.lost + 1;
      }
      return true;
    }
  }
  return false;
}

void OnFault(int signal, siginfo_t* info, void* context) {
  if (GuardFault(info, context)) return;
  for (std::atomic<FaultHook>& hook : gHooks) {
    FaultHook h = hook.load();
    if (h != nullptr && h(info, context)) return;
  }
  const struct sigaction& previous = gPrevious;
  if (previous.sa_flags & SA_SIGINFO) {
    if (previous.sa_sigaction != nullptr) previous.sa_sigaction(signal, info, context);
  } else if (previous.sa_handler == SIG_IGN) {
    return;
  } else if (previous.sa_handler != SIG_DFL) {
    previous.sa_handler(signal);
  } else {
    // The default action: returning faults again, now without this handler.
    sigaction(SIGSEGV, &previous, nullptr);
  }
}

Arena& A() {
  static Arena* arena = [] {
    auto* a = new Arena;
    void* base = mmap(nullptr, kSlots * kSlotSize, PROT_NONE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return a;  // no guarded pages: every block comes from the heap
    a->base = static_cast<uint8_t*>(base);
    for (size_t i = 0; i < kSlots; ++i) {
      a->state[i] = kUnused;
      a->generation[i] = 0;
      a->freeList[i] = static_cast<uint32_t>(kSlots - 1 - i);
    }
    a->freeCount = kSlots;
    gArena = a;
    InstallFaultHandler();
    return a;
  }();
  return *arena;
}

}  // namespace

uintptr_t FaultingInstruction(void* context, bool* write) {
  auto* uc = static_cast<ucontext_t*>(context);
  bool written = false;
  uintptr_t pc = 0;
#if defined(__x86_64__)
  written = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;  // the page fault's error code
  pc = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
  written = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
  pc = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
#else
  (void)uc;
#endif
  if (write != nullptr) *write = written;
  return pc;
}

void InstallFaultHandler() {
  std::lock_guard<std::mutex> lock(gHandlerMutex);
  struct sigaction current {};
  sigaction(SIGSEGV, nullptr, &current);
  if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == OnFault) return;
  struct sigaction ours {};
  ours.sa_sigaction = OnFault;
  ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&ours.sa_mask);
  sigaction(SIGSEGV, &ours, &gPrevious);
}

void AddFaultHook(FaultHook hook) {
  for (std::atomic<FaultHook>& slot : gHooks) {
    FaultHook expected = nullptr;
    if (slot.load() == hook || slot.compare_exchange_strong(expected, hook)) break;
  }
  InstallFaultHandler();
}

void SetGuardDescriber(GuardDescribeFn describe) { A().describe = describe; }

void* GuardAllocate(size_t size) {
  Arena& a = A();
  if (a.base == nullptr || size > kSlotSize || !gGuardedRequests.load()) return nullptr;
  uint32_t slot;
  {
    std::lock_guard<std::mutex> lock(a.mutex);
    if (a.freeCount == 0) return nullptr;
    slot = a.freeList[--a.freeCount];
  }
  uint8_t* p = a.base + size_t{slot} * kSlotSize;
  mprotect(p, kSlotSize, PROT_READ | PROT_WRITE);
  memset(p, 0, size);
  a.generation[slot]++;
  a.state[slot] = kLive;
  return p;
}

bool IsGuarded(const void* p) {
  Arena& a = A();
  const auto* q = static_cast<const uint8_t*>(p);
  return a.base != nullptr && q >= a.base && q < a.base + kSlots * kSlotSize;
}

void GuardRelease(void* p) {
  Arena& a = A();
  const size_t slot = (static_cast<uint8_t*>(p) - a.base) / kSlotSize;
  a.state[slot] = kReleased;
  mprotect(a.base + slot * kSlotSize, kSlotSize, PROT_NONE);
}

void GuardFree(void* p) {
  Arena& a = A();
  const size_t slot = (static_cast<uint8_t*>(p) - a.base) / kSlotSize;
  // A slot opened by a touch is closed again: a touch after the quarantine is one too.
  if (a.state[slot].exchange(kUnused) != kReleased) {
    mprotect(a.base + slot * kSlotSize, kSlotSize, PROT_NONE);
  }
  std::lock_guard<std::mutex> lock(a.mutex);
  a.freeList[a.freeCount++] = static_cast<uint32_t>(slot);
}

void ReportGuardTouches() {
  TouchLog& log = tlsTouches;
  if (log.count == 0 && log.lost == 0) return;
  Touch touches[kMaxTouches];
  const int count = log.count;
  const int lost = log.lost;
  memcpy(touches, log.touches, sizeof(Touch) * count);
  log.count = 0;
  log.lost = 0;
  Arena& a = A();
  for (int i = 0; i < count; ++i) {
    const Touch& t = touches[i];
    void* block = a.base + size_t{t.slot} * kSlotSize;
    const size_t offset = t.address - reinterpret_cast<uintptr_t>(block);
    // The slot may have been reused since the touch: then only its address is known.
    std::string what = a.describe != nullptr && a.generation[t.slot].load() == t.generation
                           ? a.describe(block, offset)
                           : "memory at " + std::to_string(offset) + " bytes into a released block";
    Report(verifier::Rule::RequestUsedAfterRelease,
           std::string(t.write ? "written: " : "read: ") + what + ", by " +
               Symbolize(reinterpret_cast<const void*>(t.pc)));
  }
  if (lost != 0) {
    Report(verifier::Rule::RequestUsedAfterRelease,
           std::to_string(lost) + " further touches of released requests on this thread");
  }
}

bool GuardTouchesPending() { return tlsTouches.count != 0 || tlsTouches.lost != 0; }

void GuardReset() {
  // Every slot back to the free list, closed (the owners' tables were cleared).
  Arena& a = A();
  if (a.base == nullptr) return;
  mprotect(a.base, kSlots * kSlotSize, PROT_NONE);
  std::lock_guard<std::mutex> lock(a.mutex);
  for (size_t i = 0; i < kSlots; ++i) {
    a.state[i] = kUnused;
    a.freeList[i] = static_cast<uint32_t>(kSlots - 1 - i);
  }
  a.freeCount = kSlots;
}

}  // namespace host::internal

namespace host::verifier {

void SetGuardedRequests(bool on) { internal::gGuardedRequests = on; }

}  // namespace host::verifier
