// What the C ABI's own files share (not part of the ABI).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kernel32 {

// Called once, before the first CreateFile, by whoever makes the ports exist. The shared library
// registers the start of its own host kernel here (environment.cpp); a program that runs a
// kernel of its own (mdmhost) leaves it unset.
using Starter = void (*)();
void SetStarter(Starter starter);

// The handle table, shared with process.cpp and advapi32.cpp: objects by handle value.
struct Object {
  virtual ~Object() = default;
};
void* InsertObject(std::shared_ptr<Object> object);
std::shared_ptr<Object> FindObject(void* handle);
bool RemoveObject(void* handle);

// The console handles GetStdHandle gives (process.cpp): WriteFile on them writes to the
// process's standard output or error.
bool IsConsole(void* handle);
int WriteConsoleBytes(void* handle, const void* data, unsigned long length, uint32_t* written);

// Closes every handle still open and waits until no overlapped request of this library is still
// being collected: what must happen before the kernel under it is taken down.
void CloseEverything();

// ---- Running a Windows program (process.cpp) ---------------------------------------------------
// The command line GetCommandLineA returns.
void SetCommandLine(const std::string& commandLine);
// Calls a program's entry point (stdcall, no arguments) on this thread and returns the code it
// gave ExitProcess (or 0 if it returned). ExitProcess outside RunProgram ends the process.
unsigned RunProgram(const void* entry);
// The function a program's import of `dll`!`name` binds to (kernel32.dll and advapi32.dll, the
// names compared without case for the DLL); NULL for one this library does not provide.
const void* FindExport(const std::string& dll, const std::string& name);

}  // namespace kernel32
