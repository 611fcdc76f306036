// The shape of a script and its threads: thread blocks, repeat loops, the end of a thread,
// joining one, sleeping on one, and the seed of the script's random moments.
#include "scenario/scenario.h"

namespace mdmhost::scenario {

namespace {

Statement Shape(Statement::Kind kind) {
  Statement s;
  s.kind = kind;
  s.settles = false;
  return s;
}

}  // namespace

void AddThreadCommands(CommandTable& table) {
  // thread NAME ... end: the lines run on a kernel thread of their own.
  table["thread"] = [](Args& args) {
    Statement s = Shape(Statement::Thread);
    s.name = args.Word("a thread name");
    if (s.name == "main") args.Error("'main' is the main script's thread; name this one otherwise");
    args.End();
    s.settles = true;
    return s;
  };

  // repeat N ... end
  table["repeat"] = [](Args& args) {
    Statement s = Shape(Statement::Repeat);
    s.count = args.Number("how many times");
    if (s.count > 1000000) args.Error("a repeat of more than 1,000,000 times");
    args.End();
    return s;
  };

  table["end"] = [](Args& args) {
    args.End();
    return Shape(Statement::End);
  };

  // exit: the thread block ends here (its pending requests are cancelled).
  table["exit"] = [](Args& args) {
    args.End();
    return Shape(Statement::Exit);
  };

  // join NAME [within DURATION]: waits until the thread has ended.
  table["join"] = [](Args& args) {
    std::string name = args.Word("a thread name");
    std::optional<int64_t> bound = args.Within();
    args.End();
    Statement s;
    s.run = [=](Runner& r) {
      std::shared_ptr<host::Thread> t = r.ScriptThread(name);
      if (!r.WaitFor([t] { return t->Finished(); }, "the end of thread " + name, bound)) {
        throw Failure{"thread " + name + (bound ? " did not end in time" : " never ended"),
                      "ended", "still running"};
      }
    };
    return s;
  };

  // sleep DURATION: the thread running the line waits that long (the others go on).
  table["sleep"] = [](Args& args) {
    int64_t ticks = args.Duration();
    args.End();
    Statement s;
    s.run = [=](Runner& r) { r.WaitFor([] { return false; }, "a sleep", ticks); };
    return s;
  };

  // within DURATION STEP: the step runs at a random moment of the next DURATION (drawn from the
  // script's seed, so a run replays): the thread running the line waits that long first, as
  // 'sleep' does, while everything else goes on. The line ends with the step.
  table["within"] = [](Args& args) {
    int64_t window = args.Duration();
    if (args.AtEnd()) args.Error("'within DURATION' is followed by the step it delays");
    Statement inner = ParseStep(args.Rest());
    if (inner.kind != Statement::Step || inner.claimsViolations) {
      args.Error("'within' delays one step: not a block, 'end', 'exit' or an expectation of the "
                 "verifier");
    }
    Statement s = inner;
    s.run = [window, step = inner.run](Runner& r) {
      const int64_t when = static_cast<int64_t>(r.Random(static_cast<uint64_t>(window)));
      r.Note("the step runs in " + std::to_string(when / 10) + " us");
      if (when != 0) r.WaitFor([] { return false; }, "a random moment", when);
      step(r);
    };
    return s;
  };

  // seed N: the random moments drawn from here on (mdmhost run --seed replaces it).
  table["seed"] = [](Args& args) {
    uint64_t seed = args.Number("a seed");
    args.End();
    Statement s = Shape(Statement::Step);
    s.run = [=](Runner& r) { r.Seed(seed); };
    return s;
  };
}

}  // namespace mdmhost::scenario
