// The deterministic scheduler's threads, shared by the fixed loop (scheduler.cpp) and the
// exploring scheduler (explore.cpp).
//
// A participant is a thread that runs only while it holds the baton: the session's own thread
// and the cooperative threads (spawned threads, the system workers and, when exploring, the DPC
// processors). Handing the baton over wakes the receiver and parks the giver on its own condition
// variable until the baton comes back.
#pragma once

#include "internal/core.h"

namespace host::internal {

// Where an exploring participant stands (only the baton holder reads or changes it).
enum class Run : uint8_t {
  Runnable,  // running, switched out at a switch point, or not started yet
  Blocked,   // in a wait (condition, deadline, record below)
  Spinning,  // wants a spin lock another thread holds
  Pumping,   // in Pump(): runs again when nothing else can
  Finished,
};

struct Participant {
  std::condition_variable cv;
  bool go = false;                 // baton mutex
  Participant* resumer = nullptr;  // fixed loop: who resumed it (baton mutex)
  std::string name;
  // The wait it is blocked in (dispatcher lock).
  bool blocked = false;  // fixed loop
  bool idle = false;     // a kernel thread waiting for work: not a deadlocked waiter
  const std::function<bool()>* condition = nullptr;
  std::optional<int64_t> deadline;
  WaitRecord* record = nullptr;
  NTSTATUS result = STATUS_SUCCESS;
  // Exploring scheduler.
  Run run = Run::Runnable;
  const void* spinLock = nullptr;
  KIRQL irql = PASSIVE_LEVEL;  // when it last gave the baton away
  double priority = 0;         // PCT
  bool heldBack = false;       // a directive keeps it from running
  bool frozen = false;         // never chosen again (left blocked, or busy for ever)
  bool gaveUp = false;         // chosen although its wait or spin can never end
  bool dpcProcessor = false;   // one of the kernel's DPC processors
};

// A cooperative thread of the deterministic scheduler.
class CoThread : public Thread, public Participant {
 public:
  ~CoThread() override;
  const std::string& name() const override { return Participant::name; }
  bool Finished() const override { return finished.load(); }
  void Join() override;

  std::function<void()> body;
  std::thread os;
  std::atomic<bool> finished{false};
  bool daemon = false;
  bool detached = false;  // left blocked at session end, never resumed again
};

struct SchedulerState {
  std::mutex baton;
  std::vector<std::shared_ptr<CoThread>> cooperative;  // deterministic; touched by the baton holder
  std::vector<std::shared_ptr<Thread>> spawned;        // threaded
  std::mutex spawnedMutex;
  std::vector<WaitRecord*> waits;  // dispatcher lock
  // Threaded mode: the waits blocked now, each woken by whoever satisfies it (dispatcher lock).
  std::vector<struct ThreadedWaiter*> threadedWaiters;
};
SchedulerState& S();

// The calling OS thread as a participant: its cooperative thread, or the participant of a thread
// that is not one (the session's own).
Participant* CurrentParticipant();
CoThread* CurrentCoThread();

// Hands the baton from `from` (the caller) to `to`; unless `finishing`, returns when the baton
// comes back to `from`.
void HandBaton(Participant* from, Participant* to, bool finishing);

// A DPC that queues itself again, or threads that wake each other forever, would keep the
// scheduler going without the clock moving: that is reported rather than spun on.
constexpr unsigned kStepLimit = 100000;

// Reports a wait that nothing can ever satisfy (Deadlock), naming every blocked thread.
void ReportDeadlock(const std::string& what, std::optional<int64_t> deadline);

// ---- The exploring scheduler (explore.cpp) ----------------------------------------------------
// Session start, after the fixed loop's own state is reset: the session's thread becomes the
// first participant. Session end: every participant is forgotten, the figures kept.
void ExploreSessionStart();
void ExploreSessionEnd();
// A cooperative thread was created (its OS thread waits for the baton): registers it and lets
// the strategy choose whether it runs now.
void ExploreAdmit(CoThread* thread);
// The calling cooperative thread has finished its body: hands the baton on for good.
void ExploreFinish(CoThread* thread);
NTSTATUS ExploreWait(const std::function<bool()>& satisfied, const std::string& what,
                     std::optional<int64_t> deadline, WaitRecord& record, bool kernelIdle);
void ExplorePump();
// The earliest timer or deadline of a blocked participant (and `own`).
std::optional<int64_t> ExploreNextEventTime(std::optional<int64_t> own);
// Session end: threads the test left blocked or running are reported and frozen; the kernel's
// own threads are let run until they end.
void ExploreEndThreads();
// Text listing every blocked participant, for deadlock reports.
std::string ExploreBlockedText();

}  // namespace host::internal
