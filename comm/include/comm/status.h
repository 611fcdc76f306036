// Status values as an application sees them.
//
// Every call of this API returns the NTSTATUS with which the driver (or the I/O manager) finished
// the request, unchanged. For display, ErrorFromStatus gives the Windows error that the
// application would read from GetLastError after the same call on Windows:
//   - a status that is not negative as a signed 32-bit value (STATUS_SUCCESS, STATUS_TIMEOUT,
//     any other informational value) is a successful call: ERROR_SUCCESS (0). This is how a read
//     finished by its timeout with fewer bytes than asked is reported: ReadFile succeeds and
//     the byte count tells how many arrived;
//   - STATUS_PENDING is an overlapped call in progress: ERROR_IO_PENDING (997);
//   - warning (0x8...) and error (0xC...) values are failures, translated by the table in
//     status.cpp (for example STATUS_CANCELLED -> ERROR_OPERATION_ABORTED 995,
//     STATUS_INVALID_PARAMETER -> ERROR_INVALID_PARAMETER 87); a value the table does not know
//     gives ERROR_MR_MID_NOT_FOUND (317), as Windows does.
#pragma once

#include <wdk/wdk.h>

#include <cstdint>
#include <string>

// Published status values this API produces itself and the host's declarations do not carry.
#ifndef STATUS_INFO_LENGTH_MISMATCH
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#endif
#ifndef STATUS_NOT_FOUND
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#endif

namespace comm {

struct Win32Error {
  uint32_t code;     // for example 995
  const char* name;  // for example "ERROR_OPERATION_ABORTED"
};

// The Windows error for `status` (see above).
Win32Error ErrorFromStatus(NTSTATUS status);

// "STATUS_CANCELLED", or "0xC0000999" for a value this API does not name.
std::string StatusName(NTSTATUS status);

// One line for transcripts: "STATUS_CANCELLED (0xC0000120) = ERROR_OPERATION_ABORTED (995)".
std::string DescribeStatus(NTSTATUS status);

// The status of the calling thread's last call of this API on any handle (Windows keeps its
// last error per thread; this is the same idea, in NTSTATUS form).
NTSTATUS GetLastStatus();

}  // namespace comm
