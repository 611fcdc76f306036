#include "cli.h"
namespace mdmhost {
const char* const kDemoHelp = "Usage: mdmhost demo\n";
int DemoCommand(const std::vector<std::string>& args) { return 0; }
}
