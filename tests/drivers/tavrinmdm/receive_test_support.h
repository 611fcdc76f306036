// Shared by the receive-path and open/close tests (Urb*, Ring*, Read*, WaitMask*, Readers*,
// Open*): a started port opened through the driver, and small helpers for the control codes these
// tests use.
#pragma once

#include <host_test.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/app.h"
#include "host/verifier.h"
#include "port_testbed.h"
#include "sim/bus.h"
#include "tavrinmdm/serial/serial.h"
#include "tavrinmdm/usb/usb.h"

namespace rxtest {

// Makes the started device usable by the open path whether or not the PnP start handler has
// landed yet: PnpState Started and the three pipe handles taken from the bus driver's PDO
// extension, as the start handler does. Does nothing to a device the start handler set up.
inline void EnsureStarted(porttest::PortTestbed& tb, size_t i = 0) {
  PDEVICE_EXTENSION ext = tb.Ext(i);
  auto* pdoExt = static_cast<sim::PdoExtension*>(tb.pdo(i)->DeviceExtension);
  if (ext->BulkInPipe == nullptr) {
    ext->BulkInPipe = reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t{pdoExt->bulkInPipe});
    ext->BulkOutPipe = reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t{pdoExt->bulkOutPipe});
    ext->InterruptPipe = reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t{pdoExt->interruptPipe});
  }
  if (ext->PnpState == NotStarted) ext->PnpState = Started;
}

// The device's own name ("\Device\TAVRINMDM0"), which exists from AddDevice on.
inline std::string DeviceName(porttest::PortTestbed& tb, size_t i = 0) {
  const UNICODE_STRING& name = tb.Ext(i)->DeviceName;
  std::string text;
  for (USHORT k = 0; k < name.Length / sizeof(WCHAR); ++k) text.push_back(char(name.Buffer[k]));
  return text;
}

inline NTSTATUS TryOpen(porttest::PortTestbed& tb, host::app::File* file, size_t i = 0) {
  EnsureStarted(tb, i);
  return host::app::File::Open(DeviceName(tb, i), file);
}

inline host::app::File OpenPort(porttest::PortTestbed& tb, size_t i = 0) {
  host::app::File file;
  EXPECT_EQ(TryOpen(tb, &file, i), STATUS_SUCCESS);
  return file;
}

inline NTSTATUS SetTimeouts(host::app::File& port, ULONG interval, ULONG multiplier,
                            ULONG constant) {
  SERIAL_TIMEOUTS t{interval, multiplier, constant, 0, 0};
  return port.DeviceIoControl(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, 0).status;
}

inline NTSTATUS SetWaitMask(host::app::File& port, ULONG mask) {
  return port.DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, 0).status;
}

inline host::app::Request WaitOnMask(host::app::File& port) {
  return port.DeviceIoControlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
}

inline ULONG EventWord(const host::app::IoResult& r) {
  ULONG word = 0xDEADBEEF;
  if (r.output.size() >= sizeof word) memcpy(&word, r.output.data(), sizeof word);
  return word;
}

inline NTSTATUS Purge(host::app::File& port, ULONG mask) {
  return port.DeviceIoControl(IOCTL_SERIAL_PURGE, &mask, sizeof mask, 0).status;
}

// A recognisable byte stream: byte k of the stream is Pattern(k).
inline uint8_t Pattern(uint64_t k) { return uint8_t((k * 131 + (k >> 12) * 7 + 5) & 0xFF); }
inline std::vector<uint8_t> PatternBytes(uint64_t from, size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t k = 0; k < n; ++k) bytes[k] = Pattern(from + k);
  return bytes;
}

using porttest::Bytes;
using porttest::Text;

}  // namespace rxtest
