#include "cli.h"
namespace mdmhost {
const char* const kBridgeHelp = "Usage: mdmhost bridge\n";
int BridgeCommand(const std::vector<std::string>& args) { return 0; }
}
