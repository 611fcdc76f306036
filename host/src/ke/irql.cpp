// Interrupt request levels: one IRQL per thread, raised and lowered by the driver and by the
// kernel around the routines it calls.
//
// The host does not mask anything: a thread at DISPATCH_LEVEL can still be preempted by the OS.
// What the IRQL decides on the host is which services may be called (the verifier's checks) and,
// in deterministic mode, nothing else: lowering below DISPATCH_LEVEL does not run pending DPCs
// (they run when the test pumps). Lowering to PASSIVE_LEVEL runs the kernel APCs queued to the
// thread (ke/thread.cpp).
#include "internal/core.h"

using host::verifier::Rule;

namespace host::internal {
namespace {

void LowerChecked(const char* service, KIRQL newIrql) {
  ThreadState& t = CurrentThread();
  if (newIrql > t.irql) {
    Report(Rule::IrqlMisuse, Format("%s to %s from the lower %s", service,
                                    IrqlName(newIrql).c_str(), IrqlName(t.irql).c_str()));
    return;
  }
  if (newIrql < DISPATCH_LEVEL && !t.heldLocks.empty()) {
    Report(Rule::IrqlMisuse, Format("%s to %s while holding spin lock %s", service,
                                    IrqlName(newIrql).c_str(), HeldLocksText(t).c_str()));
  }
  t.irql = newIrql;
  // Back at PASSIVE_LEVEL the thread takes the kernel APCs queued to it meanwhile.
  if (newIrql == PASSIVE_LEVEL) DeliverKernelApcs();
}

}  // namespace

// Used by the spin lock release: the same rules as KeLowerIrql.
void LowerIrqlFor(const char* service, KIRQL newIrql) { LowerChecked(service, newIrql); }

}  // namespace host::internal

using namespace host::internal;

extern "C" {

KIRQL KeGetCurrentIrql(VOID) { return CurrentThread().irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  ThreadState& t = CurrentThread();
  if (TraceOn()) Trace("KeRaiseIrql(%s) from %s", IrqlName(NewIrql).c_str(), IrqlName(t.irql).c_str());
  *OldIrql = t.irql;
  if (NewIrql < t.irql) {
    Report(Rule::IrqlMisuse, Format("KeRaiseIrql to %s from the higher %s",
                                    IrqlName(NewIrql).c_str(), IrqlName(t.irql).c_str()));
    return;
  }
  t.irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
  if (TraceOn()) Trace("KeLowerIrql(%s) from %s", IrqlName(NewIrql).c_str(), IrqlName(CurrentThread().irql).c_str());
  LowerChecked("KeLowerIrql", NewIrql);
}

KIRQL KeRaiseIrqlToDpcLevel(VOID) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

}  // extern "C"
