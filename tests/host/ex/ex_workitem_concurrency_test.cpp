// The fault handler that reports a touch of an unloaded driver image chains to the handler
// installed before it for every other fault: a test's own, or the sanitizer's (this file also
// runs under ThreadSanitizer), so a crash elsewhere is reported as it would be without it.
#include <gtest/gtest.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>

#include "host/image.h"

namespace {

sigjmp_buf gJump;
volatile sig_atomic_t gTestHandlerRan = 0;

void TestSegvHandler(int, siginfo_t*, void*) {
  gTestHandlerRan = 1;
  siglongjmp(gJump, 1);
}

void TouchInaccessiblePage() {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  *static_cast<volatile char*>(page) = 1;
  munmap(page, 4096);
}

TEST(UnloadedImageFaultHandler, AFaultElsewhereGoesToTheHandlerInstalledBeforeIt) {
  struct sigaction test = {}, saved = {};
  test.sa_sigaction = TestSegvHandler;
  test.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&test.sa_mask);
  sigaction(SIGSEGV, &test, &saved);
  host::image::InstallUnloadedImageFaultHandler();
  struct sigaction now = {};
  sigaction(SIGSEGV, nullptr, &now);
  EXPECT_NE(now.sa_sigaction, test.sa_sigaction);  // ours is in front
  gTestHandlerRan = 0;
  if (sigsetjmp(gJump, 1) == 0) {
    TouchInaccessiblePage();
    ADD_FAILURE() << "the page did not fault";
  }
  EXPECT_EQ(gTestHandlerRan, 1);
  sigaction(SIGSEGV, &saved, nullptr);
}

TEST(UnloadedImageFaultHandler, AFaultElsewhereStillEndsTheProcessAsBefore) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
#if defined(__SANITIZE_ADDRESS__)
  const char* expected = "AddressSanitizer: SEGV";
#elif defined(__SANITIZE_THREAD__)
  const char* expected = "ThreadSanitizer: SEGV";
#else
  const char* expected = "";
#endif
  EXPECT_DEATH(
      {
        host::image::InstallUnloadedImageFaultHandler();
        TouchInaccessiblePage();
      },
      expected);
}

}  // namespace
