// Calls between the host kernel and image code on i386: the trampoline every call into a driver
// routine takes (internal/routine_call.h), the record of the image activations on each thread,
// the kernel-stack measurement made at each call the image makes into the kernel, and the unwinding
// of image frames when a kernel service ends the routine that called it (a bug check).
//
// Image code has no unwind tables, so a C++ exception cannot pass through its frames. A kernel
// service the image called catches whatever it throws, ends its handler, and jumps back to the
// trampoline call that entered the image (ImageUnwind); the exception is thrown again from
// there, in host code, and unwinds as it would have from a host-compiled driver.
#include <algorithm>
#include <csetjmp>
#include <exception>
#include <map>
#include <tuple>
#include <mutex>

#include "internal/core.h"
#include "image_internal.h"
#include "image_call_x86.h"
#include "internal/routine_call.h"

#if defined(__i386__)

// uint32_t HostCallWords(const void* routine, const uint32_t* words, unsigned count,
//                        uint32_t* stackAtCall)
// Copies the words onto a 16-byte aligned stack, stores the stack pointer the routine will see
// (before the return address) in *stackAtCall when that is not NULL, calls, and restores the
// stack pointer from the frame: a stdcall routine has popped its arguments, a cdecl one has not.
// EBX, ESI, EDI and EBP are preserved by both conventions.
asm(R"(
  .text
  .p2align 4
  .type HostCallWords, @function
HostCallWords:
  pushl %ebp
  movl %esp, %ebp
  pushl %esi
  pushl %edi
  movl 16(%ebp), %ecx
  movl 12(%ebp), %esi
  leal 0(,%ecx,4), %eax
  subl %eax, %esp
  andl $-16, %esp
  movl %esp, %edi
  cld
  rep movsl
  movl 20(%ebp), %edx
  testl %edx, %edx
  jz 1f
  movl %esp, (%edx)
1:
  call *8(%ebp)
  leal -8(%ebp), %esp
  popl %edi
  popl %esi
  popl %ebp
  ret
  .size HostCallWords, .-HostCallWords
)");

extern "C" uint32_t HostCallWords(const void* routine, const uint32_t* words, unsigned count,
                                  uint32_t* stackAtCall);

namespace host::internal {
namespace {

// One entry of the kernel into image code on this thread.
struct Activation {
  const void* routine;
  uint32_t rva;  // the routine's offset in its image: the same in every mapping of it
  Frame::Kind kind;
  UCHAR major;
  UCHAR minor;
  uint32_t stackAtCall = 0;   // the image's stack pointer when the routine was called
  uint32_t used = 0;          // image stack in use at this activation's latest kernel call
  const void* service = nullptr;
  std::jmp_buf unwind;
  std::exception_ptr pending;
};

thread_local std::vector<Activation*> t_activations;

// Per outermost routine: what the kernel called and how (a routine can be a DPC and a completion).
// By offset, so that the loads of a driver (each a new mapping) add up.
struct StackKey {
  uint32_t rva;
  int kind;
  UCHAR major;
  bool operator<(const StackKey& o) const {
    return std::tie(rva, kind, major) < std::tie(o.rva, o.kind, o.major);
  }
};

struct StackState {
  std::mutex mutex;
  std::map<StackKey, image::StackUse> uses;
};

StackState& Stack() {
  static StackState s;
  return s;
}

std::string RoutineLabel(const Activation& a) {
  std::string kind;
  switch (a.kind) {
    case Frame::DriverEntry: kind = "DriverEntry"; break;
    case Frame::DriverUnload: kind = "unload"; break;
    case Frame::AddDevice: kind = "AddDevice"; break;
    case Frame::Dispatch: kind = std::string("dispatch ") + MajorName(a.major); break;
    case Frame::Completion: kind = "completion"; break;
    case Frame::Cancel: kind = "cancel"; break;
    case Frame::Dpc: kind = "DPC"; break;
    case Frame::WorkItem: kind = "work item"; break;
    case Frame::PowerCompletion: kind = "power request completion"; break;
    case Frame::Other: kind = "routine"; break;
  }
  return kind + " " + Symbolize(a.routine);
}

// The kernel service as the image imports it: the bindings' own adapters carry the platform's name.
std::string ServiceName(const void* service) {
  std::string name = Symbolize(service);
  const std::string adapters = "host::internal::exports::";
  return name.rfind(adapters, 0) == 0 ? name.substr(adapters.size()) : name;
}

// Called at each kernel service the image calls: `stack` is the image's stack pointer at the call.
// Names are formed only when a routine reaches a new depth.
void Measure(const void* service, uint32_t stack) {
  if (t_activations.empty()) return;
  Activation& top = *t_activations.back();
  top.used = top.stackAtCall > stack ? top.stackAtCall - stack : 0;
  top.service = service;
  uint32_t total = 0;
  for (const Activation* a : t_activations) total += a->used;
  const Activation& outer = *t_activations.front();
  StackState& s = Stack();
  std::lock_guard<std::mutex> lock(s.mutex);
  image::StackUse& use = s.uses[StackKey{outer.rva, outer.kind, outer.major}];
  use.calls++;
  if (total > use.deepest || use.routine.empty()) {
    if (use.routine.empty()) use.routine = RoutineLabel(outer);
    use.deepest = total;
    std::string path;
    for (const Activation* a : t_activations) {
      if (!path.empty()) path += " > ";
      path += (a == &outer ? Symbolize(a->routine) : RoutineLabel(*a)) + " (" +
              std::to_string(a->used) + " bytes) > " + ServiceName(a->service);
    }
    use.path = path;
  }
}

}  // namespace

uint32_t CallRoutineWords(const void* routine, const uint32_t* words, unsigned count) {
  const image::Image* image = FindImage(routine);
  if (image == nullptr) return HostCallWords(routine, words, count, nullptr);
  Activation activation;
  activation.routine = routine;
  activation.rva = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine) - image->base());
  const std::vector<Frame>& frames = CurrentThread().frames;
  activation.kind = frames.empty() ? Frame::Other : frames.back().kind;
  activation.major = frames.empty() ? 0xFF : frames.back().major;
  activation.minor = frames.empty() ? 0xFF : frames.back().minor;
  t_activations.push_back(&activation);
  if (setjmp(activation.unwind) != 0) {
    // A kernel service this activation called ended it (ImageUnwind).
    t_activations.pop_back();
    std::rethrow_exception(activation.pending);
  }
  uint32_t result = HostCallWords(routine, words, count, &activation.stackAtCall);
  t_activations.pop_back();
  return result;
}

void ImageServiceEntered(const void* service, uint32_t stack) { Measure(service, stack); }

void ImageUnwind(std::exception_ptr&& pending) {
  if (t_activations.empty()) std::rethrow_exception(std::move(pending));
  Activation& top = *t_activations.back();
  top.pending = std::move(pending);
  std::longjmp(top.unwind, 1);
}

}  // namespace host::internal

namespace host::image {

std::vector<StackUse> StackUses() {
  auto& s = host::internal::Stack();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::vector<StackUse> out;
  for (const auto& entry : s.uses) out.push_back(entry.second);
  std::stable_sort(out.begin(), out.end(),
                   [](const StackUse& a, const StackUse& b) { return a.deepest > b.deepest; });
  return out;
}

void ResetStackUses() {
  auto& s = host::internal::Stack();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.uses.clear();
}

}  // namespace host::image

#else

namespace host::image {
std::vector<StackUse> StackUses() { return {}; }
void ResetStackUses() {}
}  // namespace host::image

#endif
