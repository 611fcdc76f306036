// What the C ABI's own files share (not part of the ABI).
#pragma once

namespace kernel32 {

// Called once, before the first CreateFile, by whoever makes the ports exist. The shared library
// registers the start of its own host kernel here (environment.cpp); a program that runs a
// kernel of its own (mdmhost) leaves it unset.
using Starter = void (*)();
void SetStarter(Starter starter);

// Closes every handle still open and waits until no overlapped request of this library is still
// being collected: what must happen before the kernel under it is taken down.
void CloseEverything();

}  // namespace kernel32
