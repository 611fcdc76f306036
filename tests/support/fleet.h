// Many modems at once: loopback modems plugged into one bus in a threaded session, each added,
// started and named (COM10, COM11, ...), every port opened through the serial API, a loopback
// stream on every port at the same time (a writer and a reader thread per port, 4 KiB writes and
// 64 KiB reads, every byte checked against the port's own pattern), then every port closed,
// every device removed and the driver unloaded. The verifier watches all of it; its reports,
// the session's end included, are collected instead of passed on.
//
// The benchmark runs it at full size and reports the figures; a test runs it small and checks
// that every byte came back and the verifier stayed clean.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fleet {

struct Options {
  unsigned modems = 64;
  size_t bytesPerPort = 1u << 20;
  size_t writeSize = 4096;
  size_t readSize = 65536;
};

struct Result {
  std::string error;             // the first failure ("" when every step worked)
  uint64_t bytes = 0;            // bytes written, looped back, read and checked, all ports
  double addSeconds = 0;         // plug, AddDevice and start of every modem
  double openSeconds = 0;        // CreateFile and SetCommTimeouts of every port
  double streamSeconds = 0;      // from the first write to the last byte checked
  double removeSeconds = 0;      // CloseHandle, query-remove and remove of every device
  // Resident memory the devices added, over the process before the first plug, measured with
  // every ring in use (after the streams), divided by the number of devices.
  size_t memoryPerDevice = 0;
  size_t extensionBytes = 0;     // sizeof(DEVICE_EXTENSION), the receive ring included
  size_t driverPoolPerDevice = 0;  // the driver's own pool while streaming, per device
  std::vector<std::string> violations;  // every verifier report, the session's end included
};

// Creates and ends its own threaded kernel session (none may be active).
Result Run(const Options& options);

}  // namespace fleet
