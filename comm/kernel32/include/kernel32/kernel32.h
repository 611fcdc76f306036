/* kernel32's serial surface as a C ABI: the functions a Windows program calls on a COM port,
 * with the platform's signatures (WINAPI: stdcall on the 32-bit host), records with the
 * platform's layouts for the width of the build (Win32 on the 32-bit host, Windows x64 on the
 * 64-bit host: both are LLP64/ILP32, so DWORD and BOOL are 32 bits and pointers and ULONG_PTR
 * the machine's width), and GetLastError values mapped from the driver's NTSTATUS as the
 * platform maps them. Built on comm/ (docs/comm-api.md); docs/kernel32-abi.md says where it
 * follows the platform and where it had to decide. */
#ifndef TAVRIN_KERNEL32_H
#define TAVRIN_KERNEL32_H

#include <stddef.h>
#include <stdint.h>

#if defined(__i386__)
/* A Windows program keeps the stack 4-byte aligned only, where the host's code may rely on 16. */
#define WINAPI __attribute__((stdcall, force_align_arg_pointer))
#else
#define WINAPI
#endif
#define TAVRIN_K32_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

typedef int BOOL;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef void* HANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef uintptr_t ULONG_PTR;
#if defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ == 2
typedef wchar_t WCHAR;
#else
typedef uint16_t WCHAR; /* the platform's 16-bit UTF-16 unit, whatever wchar_t is here */
#endif
typedef const char* LPCSTR;
typedef const WCHAR* LPCWSTR;
typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define K32_INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

/* ---- Records --------------------------------------------------------------------------------- */
typedef struct _OVERLAPPED {
  ULONG_PTR Internal;     /* the request's NTSTATUS; STATUS_PENDING (0x103) while in flight */
  ULONG_PTR InternalHigh; /* bytes transferred */
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    void* Pointer;
  };
  HANDLE hEvent; /* reset when a request starts, set when it ends (may be NULL) */
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _COMSTAT {
  DWORD fCtsHold : 1;
  DWORD fDsrHold : 1;
  DWORD fRlsdHold : 1;
  DWORD fXoffHold : 1;
  DWORD fXoffSent : 1;
  DWORD fEof : 1;
  DWORD fTxim : 1;
  DWORD fReserved : 25;
  DWORD cbInQue;
  DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

typedef struct _COMMPROP {
  WORD wPacketLength;
  WORD wPacketVersion;
  DWORD dwServiceMask;
  DWORD dwReserved1;
  DWORD dwMaxTxQueue;
  DWORD dwMaxRxQueue;
  DWORD dwMaxBaud;
  DWORD dwProvSubType;
  DWORD dwProvCapabilities;
  DWORD dwSettableParams;
  DWORD dwSettableBaud;
  WORD wSettableData;
  WORD wSettableStopParity;
  DWORD dwCurrentTxQueue;
  DWORD dwCurrentRxQueue;
  DWORD dwProvSpec1;
  DWORD dwProvSpec2;
  WCHAR wcProvChar[1];
} COMMPROP, *LPCOMMPROP;

/* ---- Functions ------------------------------------------------------------------------------- */
TAVRIN_K32_API DWORD WINAPI GetLastError(void);
TAVRIN_K32_API void WINAPI SetLastError(DWORD dwErrCode);

TAVRIN_K32_API HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess,
                                         DWORD dwShareMode, LPSECURITY_ATTRIBUTES lpSecurity,
                                         DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                         HANDLE hTemplateFile);
TAVRIN_K32_API HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess,
                                         DWORD dwShareMode, LPSECURITY_ATTRIBUTES lpSecurity,
                                         DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                         HANDLE hTemplateFile);
TAVRIN_K32_API BOOL WINAPI CloseHandle(HANDLE hObject);
TAVRIN_K32_API BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                    LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
TAVRIN_K32_API BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                     LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
TAVRIN_K32_API BOOL WINAPI FlushFileBuffers(HANDLE hFile);
TAVRIN_K32_API BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                               LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
TAVRIN_K32_API BOOL WINAPI CancelIo(HANDLE hFile);
TAVRIN_K32_API BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);
TAVRIN_K32_API BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                           DWORD nInBufferSize, LPVOID lpOutBuffer,
                                           DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                           LPOVERLAPPED lpOverlapped);

TAVRIN_K32_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                          BOOL bInitialState, LPCSTR lpName);
TAVRIN_K32_API HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                          BOOL bInitialState, LPCWSTR lpName);
TAVRIN_K32_API BOOL WINAPI SetEvent(HANDLE hEvent);
TAVRIN_K32_API BOOL WINAPI ResetEvent(HANDLE hEvent);
TAVRIN_K32_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
TAVRIN_K32_API DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles,
                                                   BOOL bWaitAll, DWORD dwMilliseconds);

TAVRIN_K32_API BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
TAVRIN_K32_API BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags);
TAVRIN_K32_API BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB);
TAVRIN_K32_API BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB);
TAVRIN_K32_API BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB);
TAVRIN_K32_API BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
TAVRIN_K32_API BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
TAVRIN_K32_API BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
TAVRIN_K32_API BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
TAVRIN_K32_API BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat);
TAVRIN_K32_API BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
TAVRIN_K32_API BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask);
TAVRIN_K32_API BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
TAVRIN_K32_API BOOL WINAPI SetCommBreak(HANDLE hFile);
TAVRIN_K32_API BOOL WINAPI ClearCommBreak(HANDLE hFile);
TAVRIN_K32_API BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar);
TAVRIN_K32_API BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp);

/* ---- What a console program needs beside the serial functions (process.cpp) ----------------- */
TAVRIN_K32_API HANDLE WINAPI GetStdHandle(DWORD nStdHandle); /* STD_OUTPUT_HANDLE, STD_ERROR_HANDLE */
TAVRIN_K32_API const char* WINAPI GetCommandLineA(void);
TAVRIN_K32_API void WINAPI ExitProcess(unsigned int uExitCode);
TAVRIN_K32_API void WINAPI Sleep(DWORD dwMilliseconds);

/* ---- advapi32's registry functions over the host registry (advapi32.cpp) -------------------- */
typedef HANDLE HKEY;
typedef HKEY* PHKEY;
typedef long LSTATUS;
#define K32_HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
TAVRIN_K32_API LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                                            DWORD samDesired, PHKEY phkResult);
TAVRIN_K32_API LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, char* lpValueName,
                                            LPDWORD lpcchValueName, LPDWORD lpReserved,
                                            LPDWORD lpType, BYTE* lpData, LPDWORD lpcbData);
TAVRIN_K32_API LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                               LPDWORD lpType, BYTE* lpData, LPDWORD lpcbData);
TAVRIN_K32_API LSTATUS WINAPI RegCloseKey(HKEY hKey);

/* Not kernel32: the Windows error the platform gives for an NTSTATUS (RtlNtStatusToDosError's
 * table as far as the driver's statuses go), exported for the tests. */
TAVRIN_K32_API DWORD tavrin_k32_ErrorFromStatus(int32_t status);

#ifdef __cplusplus
}
#endif

/* ---- Constants ------------------------------------------------------------------------------ */
#define K32_GENERIC_READ 0x80000000u
#define K32_GENERIC_WRITE 0x40000000u
#define K32_OPEN_EXISTING 3
#define K32_FILE_FLAG_OVERLAPPED 0x40000000u
#define K32_INFINITE 0xFFFFFFFFu
#define K32_WAIT_OBJECT_0 0u
#define K32_WAIT_TIMEOUT 258u
#define K32_WAIT_FAILED 0xFFFFFFFFu
#define K32_MAXIMUM_WAIT_OBJECTS 64u

#define K32_ERROR_SUCCESS 0u
#define K32_ERROR_INVALID_FUNCTION 1u
#define K32_ERROR_FILE_NOT_FOUND 2u
#define K32_ERROR_ACCESS_DENIED 5u
#define K32_ERROR_INVALID_HANDLE 6u
#define K32_ERROR_BAD_COMMAND 22u
#define K32_ERROR_INVALID_PARAMETER 87u
#define K32_ERROR_OPERATION_ABORTED 995u
#define K32_ERROR_IO_INCOMPLETE 996u
#define K32_ERROR_IO_PENDING 997u
#define K32_ERROR_NOT_FOUND 1168u

#endif /* TAVRIN_KERNEL32_H */
