// NTSTATUS to Windows error translation and status names, for display.
#include "comm/status.h"

#include <cstdio>

#ifndef STATUS_IO_TIMEOUT
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#endif

namespace comm {

namespace {

struct Entry {
  NTSTATUS status;
  const char* statusName;
  uint32_t error;
  const char* errorName;
};

// Failure statuses (negative as signed 32-bit values) and the Windows error the platform's
// translation gives for each. Success and informational values never reach this table.
constexpr Entry kFailures[] = {
    {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW", 234, "ERROR_MORE_DATA"},
    {STATUS_DEVICE_BUSY, "STATUS_DEVICE_BUSY", 170, "ERROR_BUSY"},
    {STATUS_NO_MORE_ENTRIES, "STATUS_NO_MORE_ENTRIES", 259, "ERROR_NO_MORE_ITEMS"},
    {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL", 31, "ERROR_GEN_FAILURE"},
    {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED", 1, "ERROR_INVALID_FUNCTION"},
    {STATUS_INFO_LENGTH_MISMATCH, "STATUS_INFO_LENGTH_MISMATCH", 24, "ERROR_BAD_LENGTH"},
    {STATUS_INVALID_HANDLE, "STATUS_INVALID_HANDLE", 6, "ERROR_INVALID_HANDLE"},
    {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER", 87, "ERROR_INVALID_PARAMETER"},
    {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE", 2, "ERROR_FILE_NOT_FOUND"},
    {STATUS_NO_SUCH_FILE, "STATUS_NO_SUCH_FILE", 2, "ERROR_FILE_NOT_FOUND"},
    {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST", 1, "ERROR_INVALID_FUNCTION"},
    {STATUS_NO_MEMORY, "STATUS_NO_MEMORY", 8, "ERROR_NOT_ENOUGH_MEMORY"},
    {STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED", 5, "ERROR_ACCESS_DENIED"},
    {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL", 122, "ERROR_INSUFFICIENT_BUFFER"},
    {STATUS_OBJECT_TYPE_MISMATCH, "STATUS_OBJECT_TYPE_MISMATCH", 6, "ERROR_INVALID_HANDLE"},
    {STATUS_OBJECT_NAME_INVALID, "STATUS_OBJECT_NAME_INVALID", 123, "ERROR_INVALID_NAME"},
    {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND", 2, "ERROR_FILE_NOT_FOUND"},
    {STATUS_OBJECT_NAME_COLLISION, "STATUS_OBJECT_NAME_COLLISION", 183, "ERROR_ALREADY_EXISTS"},
    {STATUS_OBJECT_PATH_NOT_FOUND, "STATUS_OBJECT_PATH_NOT_FOUND", 3, "ERROR_PATH_NOT_FOUND"},
    {STATUS_DELETE_PENDING, "STATUS_DELETE_PENDING", 5, "ERROR_ACCESS_DENIED"},
    {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES", 1450,
     "ERROR_NO_SYSTEM_RESOURCES"},
    {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED", 1167,
     "ERROR_DEVICE_NOT_CONNECTED"},
    {STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY", 21, "ERROR_NOT_READY"},
    {STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT", 121, "ERROR_SEM_TIMEOUT"},
    {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED", 50, "ERROR_NOT_SUPPORTED"},
    {STATUS_DEVICE_DOES_NOT_EXIST, "STATUS_DEVICE_DOES_NOT_EXIST", 55, "ERROR_DEV_NOT_EXIST"},
    {STATUS_INTERNAL_ERROR, "STATUS_INTERNAL_ERROR", 1359, "ERROR_INTERNAL_ERROR"},
    {STATUS_CANCELLED, "STATUS_CANCELLED", 995, "ERROR_OPERATION_ABORTED"},
    {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE", 22, "ERROR_BAD_COMMAND"},
    {STATUS_IO_DEVICE_ERROR, "STATUS_IO_DEVICE_ERROR", 1117, "ERROR_IO_DEVICE"},
    {STATUS_NOT_FOUND, "STATUS_NOT_FOUND", 1168, "ERROR_NOT_FOUND"},
    {STATUS_DEVICE_REMOVED, "STATUS_DEVICE_REMOVED", 1617, "ERROR_DEVICE_REMOVED"},
};

struct Name {
  NTSTATUS status;
  const char* name;
};

// Statuses that are not failures, and failures with no Windows error of their own here.
constexpr Name kOtherNames[] = {
    {STATUS_SUCCESS, "STATUS_SUCCESS"},
    {STATUS_ABANDONED, "STATUS_ABANDONED"},
    {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
    {STATUS_PENDING, "STATUS_PENDING"},
    {STATUS_REPARSE, "STATUS_REPARSE"},
    {STATUS_OBJECT_NAME_EXISTS, "STATUS_OBJECT_NAME_EXISTS"},
    {STATUS_MORE_PROCESSING_REQUIRED, "STATUS_MORE_PROCESSING_REQUIRED"},
    {STATUS_POWER_STATE_INVALID, "STATUS_POWER_STATE_INVALID"},
};

const Entry* FindFailure(NTSTATUS status) {
  for (const Entry& entry : kFailures) {
    if (entry.status == status) return &entry;
  }
  return nullptr;
}

}  // namespace

Win32Error ErrorFromStatus(NTSTATUS status) {
  if (status == STATUS_PENDING) return {997, "ERROR_IO_PENDING"};
  if (NT_SUCCESS(status)) return {0, "ERROR_SUCCESS"};
  if (const Entry* entry = FindFailure(status)) return {entry->error, entry->errorName};
  return {317, "ERROR_MR_MID_NOT_FOUND"};
}

std::string StatusName(NTSTATUS status) {
  if (const Entry* entry = FindFailure(status)) return entry->statusName;
  for (const Name& name : kOtherNames) {
    if (name.status == status) return name.name;
  }
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
  return text;
}

std::string DescribeStatus(NTSTATUS status) {
  char number[16];
  std::snprintf(number, sizeof(number), "0x%08X", static_cast<unsigned>(status));
  Win32Error error = ErrorFromStatus(status);
  std::string text = StatusName(status);
  if (text != number) text += std::string(" (") + number + ")";
  return text + " = " + error.name + " (" + std::to_string(error.code) + ")";
}

}  // namespace comm
