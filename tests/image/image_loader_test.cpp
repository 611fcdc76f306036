#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/image.h"
#include "host/pnp.h"
#include "host/session.h"
#include "host/verifier.h"
#include "tavrinmdm/x86/records/extension_layout.h"

namespace {

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t Word(const std::vector<uint8_t>& d, size_t at) {
  uint32_t v;
  std::memcpy(&v, d.data() + at, 4);
  return v;
}
void SetWord(std::vector<uint8_t>& d, size_t at, uint32_t v) { std::memcpy(d.data() + at, &v, 4); }
void SetHalf(std::vector<uint8_t>& d, size_t at, uint16_t v) { std::memcpy(d.data() + at, &v, 2); }

// Offsets in the file of the headers the cases damage.
struct Layout {
  size_t coff, optional, sections;
};
Layout Headers(const std::vector<uint8_t>& d) {
  size_t pe = Word(d, 0x3C);
  size_t optionalSize = d[pe + 20] | d[pe + 21] << 8;
  return {pe + 4, pe + 24, pe + 24 + optionalSize};
}

std::string LoadError(const std::vector<uint8_t>& bytes) {
  std::string path = ::testing::TempDir() + "damaged.sys";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::string error;
  auto image = host::image::Load(path, &error);
  return image ? "(loaded)" : error;
}

TEST(ImageLoader, MapsTheImageAwayFromItsBaseWithRelocationsAndImportsBound) {
  std::string error;
  auto image = host::image::Load(TAVRIN_IMAGE, &error);
  ASSERT_NE(image, nullptr) << error;
  EXPECT_NE(image->base(), image->preferredBase());
  EXPECT_GT(image->relocations(), 0u);
  EXPECT_GT(image->imports(), 0u);
  EXPECT_TRUE(image->Contains(reinterpret_cast<const void*>(image->entry())));
  EXPECT_EQ(image->Name(reinterpret_cast<const void*>(image->entry())).rfind("tavrinmdm.sys", 0), 0u);
}

// One clear error for each kind of damage, naming what is wrong.
TEST(ImageLoader, RefusesDamagedImagesWithOneClearError) {
  const std::vector<uint8_t> good = ReadFile(TAVRIN_IMAGE);
  ASSERT_GT(good.size(), 4096u);
  const Layout h = Headers(good);
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    const char* error;
  };
  std::vector<Case> cases;
  cases.push_back({"no file", {}, "truncated: DOS header"});
  cases.push_back({"truncated", std::vector<uint8_t>(good.begin(), good.begin() + 2048), "truncated: section"});
  auto noMz = good;
  noMz[0] = 'X';
  cases.push_back({"not a PE image", noMz, "not a PE image (no MZ signature)"});
  auto amd64 = good;
  SetHalf(amd64, h.coff, 0x8664);
  cases.push_back({"wrong machine", amd64, "wrong machine 0x8664: not an i386 image"});
  auto noRelocs = good;
  SetWord(noRelocs, h.optional + 96 + 8 * 5 + 4, 0);
  cases.push_back({"no relocations", noRelocs, "no relocations: the image can only be loaded at 0x10000"});
  auto outside = good;
  SetWord(outside, h.sections + 8, 0x10000000);
  cases.push_back({"section outside", outside, "section .text (0x1000, 268435456 bytes) lies outside the image"});
  // The first imported routine's name, renamed in place: the host provides no such routine.
  auto missing = good;
  const std::string name = "KeSetEvent";
  auto at = std::search(missing.begin(), missing.end(), name.begin(), name.end());
  ASSERT_NE(at, missing.end());
  *(at + name.size() - 1) = 'X';
  cases.push_back({"missing import", missing, "imports ntoskrnl.exe!KeSetEvenX, which the host kernel does not provide"});

  for (const Case& c : cases) {
    std::string error = LoadError(c.bytes);
    EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
    EXPECT_EQ(error.rfind("damaged.sys: ", 0), 0u) << c.what << ": " << error;
  }
}

// A bug check raised inside the image — its stack cookie found overwritten at a routine's return,
// three image frames deep (start-up stub, the overrunning routine, __stack_chk_fail) — is
// reported with its code and unwinds out of the image's frames back to the kernel code that
// called the entry point; the host goes on.
TEST(ImageLoader, ABugCheckInsideTheImageUnwindsOutOfIt) {
  std::string error;
  auto image = host::image::Load(TAVRIN_STACK_OVERRUN_IMAGE, &error);
  ASSERT_NE(image, nullptr) << error << " (./run x86 builds it)";
  host::verifier::ExpectViolations capture;
  {
    host::Session session;
    bool stopped = host::verifier::RunCatchingBugCheck(
        [&] { host::pnp::LoadDriver(image->entry(), "\\Driver\\overrun"); });
    EXPECT_TRUE(stopped);
  }
  EXPECT_EQ(capture.Count(host::verifier::Rule::BugCheck), 1u) << capture.Text();
  EXPECT_NE(capture.Text().find("KeBugCheckEx(0x000000F7"), std::string::npos) << capture.Text();
}

// The driver unloaded, its image's pages are inaccessible: its entry point called again, or a
// byte of it read, faults, and the fault is reported with the address (then the pages are made
// accessible again, and the run goes on). Destroyed, the image's mapping stays reserved and
// inaccessible.
TEST(ImageLoader, TheImageOfAnUnloadedDriverIsUnreachable) {
  std::string error;
  auto called = host::image::Load(TAVRIN_IMAGE, &error);
  auto read = host::image::Load(TAVRIN_IMAGE, &error);
  ASSERT_NE(read, nullptr) << error;
  host::verifier::ExpectViolations capture;
  {
    host::Session session;
    PDRIVER_OBJECT driver = host::pnp::LoadDriver(called->entry(), "\\Driver\\tavrinmdm");
    ASSERT_NE(driver, nullptr);
    host::pnp::UnloadDriver(driver);
    EXPECT_TRUE(called->unloaded());
    driver = host::pnp::LoadDriver(called->entry(), "\\Driver\\tavrinmdm");  // code that is gone
    ASSERT_EQ(capture.Count(host::verifier::Rule::DriverUnloadedInUse), 1u) << capture.Text();
    EXPECT_NE(capture.seen()[0].message.find("of driver \\Driver\\tavrinmdm, unloaded, was executed at tavrinmdm.sys"),
              std::string::npos) << capture.seen()[0].message;
    host::pnp::UnloadDriver(driver);

    driver = host::pnp::LoadDriver(read->entry(), "\\Driver\\tavrinmdm");
    host::pnp::UnloadDriver(driver);
    const volatile uint8_t* headers = reinterpret_cast<const volatile uint8_t*>(read->base());
    EXPECT_EQ(headers[0], 'M');
    ASSERT_EQ(capture.Count(host::verifier::Rule::DriverUnloadedInUse), 2u) << capture.Text();
    EXPECT_NE(capture.seen()[1].message.find("was touched at tavrinmdm.sys+0x0 by"), std::string::npos)
        << capture.seen()[1].message;
    uintptr_t base = read->base();
    read.reset();
    EXPECT_EQ(reinterpret_cast<const volatile uint8_t*>(base)[1], 'Z');
    EXPECT_EQ(capture.Count(host::verifier::Rule::DriverUnloadedInUse), 3u) << capture.Text();
  }
}

// The DEVICE_EXTENSION compiled here against the host's 32-bit declarations is the image's.
TEST(ImageRecords, DeviceExtensionLayoutIsTheImagesBuild) {
  const std::vector<uint8_t> recorded = ReadFile(TAVRIN_EXTENSION_LAYOUT);
  // The section may be padded to its alignment.
  ASSERT_GE(recorded.size(), sizeof(TavrinExtensionLayout))
      << TAVRIN_EXTENSION_LAYOUT << " (./run x86 records it)";
#define TAVRIN_NAME(field) #field,
  const char* names[] = {"sizeof(DEVICE_EXTENSION)", TAVRIN_EXTENSION_FIELDS(TAVRIN_NAME)};
  for (unsigned i = 0; i < kTavrinExtensionLayoutCount; ++i) {
    EXPECT_EQ(TavrinExtensionLayout[i], Word(recorded, 4 * i)) << names[i];
  }
}

}  // namespace
