// Lines that say something about the whole file rather than run a step: "explore N", the
// file's claim that its expectations hold in every order the exploring scheduler may choose, not
// only in the fixed one. mdmhost run runs such a file once in the fixed order and then under N
// schedules (unless --explore, --replay or --sweep-lowres say otherwise); ./run explore runs
// every file that claims it for as long as its budget allows.
#include "scenario/scenario.h"

namespace mdmhost::scenario {

void AddFileCommands(CommandTable& table) {
  table["explore"] = [](Args& args) {
    uint64_t schedules = args.Number("a number of schedules");
    args.End();
    if (schedules == 0 || schedules > 100000000) {
      throw ParseError("explore takes 1 to 100000000 schedules");
    }
    Statement s;
    s.settles = false;
    s.mainOnly = true;
    s.name = "explore";
    s.count = schedules;
    s.run = [](Runner&) {};
    return s;
  };
}

unsigned ClaimedSchedules(const Script& script) {
  unsigned schedules = 0;
  for (const Statement& s : script.statements) {
    if (s.kind == Statement::Step && s.name == "explore") schedules = static_cast<unsigned>(s.count);
  }
  return schedules;
}

}  // namespace mdmhost::scenario
