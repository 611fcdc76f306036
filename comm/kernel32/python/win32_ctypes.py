"""What ctypes has on Windows and lacks here, pointed at libtavrin_kernel32.so.

Loaded before a Windows-only module (pyserial's serial/win32.py and serial/serialwin32.py) is
imported, so that it runs as it stands:

    import win32_ctypes
    win32_ctypes.install("build/host/comm/kernel32/libtavrin_kernel32.so")
    from serial.serialwin32 import Serial

  - ctypes.WinDLL("kernel32") loads the library (no other name: OSError, as for a missing DLL);
  - ctypes.GetLastError, ctypes.FormatError and ctypes.WinError as on Windows (the last error is
    the library's, kept per thread);
  - ctypes.wintypes with the platform's widths: DWORD, UINT, ULONG 32 bits unsigned, BOOL, LONG
    and INT 32 bits signed (ctypes follows LP64 on Linux, where c_long and c_ulong are 8 bytes),
    so that records built from them have the Windows x64 (LLP64) layouts; LPCWSTR/LPWSTR pass a
    str as UTF-16 (the platform's WCHAR), not as the C library's 4-byte wchar_t.

Nothing else is changed: the modules' own code calls the library's functions.
"""

import ctypes
import ctypes.wintypes

_library = None

# The messages FormatMessage gives for the errors a serial program meets.
_MESSAGES = {
    0: "The operation completed successfully.",
    1: "Incorrect function.",
    2: "The system cannot find the file specified.",
    5: "Access is denied.",
    6: "The handle is invalid.",
    22: "The device does not recognize the command.",
    24: "The program issued a command but the command length is incorrect.",
    31: "A device attached to the system is not functioning.",
    87: "The parameter is incorrect.",
    122: "The data area passed to a system call is too small.",
    123: "The filename, directory name, or volume label syntax is incorrect.",
    995: "The I/O operation has been aborted because of either a thread exit or an application request.",
    996: "Overlapped I/O event is not in a signaled state.",
    997: "Overlapped I/O operation is in progress.",
    1168: "Element not found.",
    1450: "Insufficient system resources exist to complete the requested service.",
}


class _Utf16String(ctypes.c_void_p):
    """LPCWSTR: a str goes to the library as NUL-terminated UTF-16LE."""

    @classmethod
    def from_param(cls, value):
        if value is None:
            return None
        if isinstance(value, str):
            return ctypes.create_string_buffer(value.encode("utf-16-le") + b"\0\0")
        return ctypes.c_void_p.from_param(value)


def _win_dll(name, *args, **kwargs):
    if name.lower().rstrip(".dll") != "kernel32" or _library is None:
        raise OSError("no such library here: %r (only kernel32 is provided)" % (name,))
    return _library


def _get_last_error():
    return _library.GetLastError()


def _format_error(code=None):
    if code is None:
        code = _get_last_error()
    return _MESSAGES.get(code, "Unknown error 0x%08X" % code)


def _win_error(code=None, descr=None):
    if code is None:
        code = _get_last_error()
    if descr is None:
        descr = _format_error(code).strip()
    error = OSError(None, descr, None, code)
    error.winerror = code  # ignored by OSError itself off Windows
    return error


def install(library_path):
    """Loads the library and fills in ctypes; call before importing the Windows-only module."""
    global _library
    _library = ctypes.CDLL(library_path)
    _library.GetLastError.restype = ctypes.c_uint32
    _library.GetLastError.argtypes = []
    ctypes.WinDLL = _win_dll
    ctypes.GetLastError = _get_last_error
    ctypes.FormatError = _format_error
    ctypes.WinError = _win_error
    w = ctypes.wintypes
    w.DWORD = w.UINT = w.ULONG = ctypes.c_uint32
    w.BOOL = w.LONG = w.INT = ctypes.c_int32
    w.LPDWORD = w.PDWORD = ctypes.POINTER(ctypes.c_uint32)
    w.LPCWSTR = w.LPWSTR = _Utf16String
    return _library
