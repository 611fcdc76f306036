// The event mask and the wait for events: SetCommMask, GetCommMask, WaitCommEvent.
#include <cstring>

#include "comm/serial.h"
#include "handle.h"

namespace comm {

namespace internal {

NTSTATUS DeliverEventMask(const host::app::IoResult& result, DWORD* eventMask) {
  size_t n = DeliveredBytes(result);
  DWORD word = 0;
  if (n) std::memcpy(&word, result.output.data(), n < sizeof(word) ? n : sizeof(word));
  if (eventMask) *eventMask = word;
  if (NT_SUCCESS(result.status) && n < sizeof(word)) return STATUS_INFO_LENGTH_MISMATCH;
  return result.status;
}

}  // namespace internal

NTSTATUS SetCommMask(Port& port, DWORD mask) {
  Port::State& state = *port.state();
  ULONG word = mask;
  return internal::Record(
      &state, internal::Call(state, RequestKind::Control, IOCTL_SERIAL_SET_WAIT_MASK, &word,
                             sizeof(word), 0)
                  .status);
}

NTSTATUS GetCommMask(Port& port, DWORD* mask) {
  Port::State& state = *port.state();
  ULONG word = 0;
  NTSTATUS status =
      internal::CallForRecord(state, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &word, sizeof(word));
  if (NT_SUCCESS(status) && mask) *mask = word;
  return internal::Record(&state, status);
}

NTSTATUS WaitCommEvent(Port& port, DWORD* eventMask, Overlapped* overlapped) {
  Port::State& state = *port.state();
  if (!overlapped) {
    host::app::IoResult result = internal::Call(state, RequestKind::Control,
                                                IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0,
                                                sizeof(ULONG));
    return internal::Record(&state, internal::DeliverEventMask(result, eventMask));
  }
  host::app::IoResult finished;
  bool completed;
  NTSTATUS status = internal::StartWaitOverlapped(port, *overlapped, eventMask, &finished,
                                                  &completed);
  if (completed) status = internal::DeliverEventMask(finished, eventMask);
  return internal::Record(&state, status);
}

}  // namespace comm
