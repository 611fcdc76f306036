// The bus driver's descriptor parser against every descriptor set the simulated device can send:
// the modem's (64- and 512-byte packets, a second configuration) accepted with the right
// endpoints, each faulty variant refused for its own reason, and every truncation of the modem's
// configuration refused without a byte read past the buffer (the bytes sit in exactly-sized heap
// blocks, so AddressSanitizer reports any overread).
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/usb_descriptors.h"
#include "tavrinbus/descriptors.h"

namespace {

struct Verdict {
  NTSTATUS status;
  std::string why;
  BUS_DEVICE_IDS ids{};
  BUS_MODEM_LAYOUT layout{};
};

// Parses `bytes` from an exactly-sized heap copy.
Verdict ParseConfiguration(const std::vector<uint8_t>& bytes) {
  std::unique_ptr<UCHAR[]> copy(new UCHAR[bytes.size() ? bytes.size() : 1]);
  std::copy(bytes.begin(), bytes.end(), copy.get());
  Verdict v;
  const char* why = "";
  v.status = BusParseConfiguration(copy.get(), static_cast<ULONG>(bytes.size()), &v.layout, &why);
  v.why = why;
  return v;
}

Verdict ParseDevice(const std::vector<uint8_t>& bytes) {
  std::unique_ptr<UCHAR[]> copy(new UCHAR[bytes.size() ? bytes.size() : 1]);
  std::copy(bytes.begin(), bytes.end(), copy.get());
  Verdict v;
  const char* why = "";
  v.status = BusParseDeviceDescriptor(copy.get(), static_cast<ULONG>(bytes.size()), &v.ids, &why);
  v.why = why;
  return v;
}

struct Case {
  sim::DescriptorVariant variant;
  uint16_t packet;
  const char* refusal;  // nullptr: accepted
};

const Case kCases[] = {
    {sim::DescriptorVariant::Standard, 64, nullptr},
    {sim::DescriptorVariant::Standard, 512, nullptr},
    {sim::DescriptorVariant::SecondConfiguration, 64, nullptr},
    {sim::DescriptorVariant::WrongClass, 64, "not CDC ACM"},
    {sim::DescriptorVariant::MissingEndpoint, 64, "lacks a bulk-IN or a bulk-OUT"},
    {sim::DescriptorVariant::ExtraEndpoint, 64, "a second endpoint of the same kind"},
    {sim::DescriptorVariant::BadTotalLength, 64, "runs past wTotalLength"},
    {sim::DescriptorVariant::BadLength, 64, "below 2"},
    {sim::DescriptorVariant::BadInterfaceCount, 64, "bNumInterfaces"},
    {sim::DescriptorVariant::BadEndpointCount, 64, "bNumEndpoints"},
    {sim::DescriptorVariant::Truncated, 64, "wTotalLength does not match"},
    {sim::DescriptorVariant::BadDeviceDescriptor, 64, "device descriptor with a wrong bLength"},
};

TEST(BusDescriptors, EachVariantIsAcceptedOrRefusedForItsOwnReason) {
  ASSERT_EQ(std::size(kCases) - 1, sim::AllDescriptorVariants().size()) << "a variant untested";
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(sim::DescriptorVariantName(c.variant)) + " " +
                 std::to_string(c.packet));
    sim::HubOptions options{c.variant, c.packet, 0x0100};
    const Verdict device = ParseDevice(sim::BuildDeviceDescriptor(0x1A2B, 0x0001, options));
    size_t sent = 0;
    std::vector<uint8_t> config = sim::BuildConfigurationDescriptor(options, 0, &sent);
    config.resize(sent);
    const Verdict v = device.status == STATUS_SUCCESS ? ParseConfiguration(config) : device;
    if (c.refusal == nullptr) {
      ASSERT_EQ(v.status, STATUS_SUCCESS) << v.why;
      EXPECT_EQ(device.ids.VendorId, 0x1A2B);
      EXPECT_EQ(device.ids.ProductId, 0x0001);
      EXPECT_EQ(device.ids.NumConfigurations, sim::ConfigurationCount(options));
      EXPECT_EQ(v.layout.ConfigurationValue, 1);
      EXPECT_EQ(v.layout.CommInterface, 0);
      EXPECT_EQ(v.layout.DataInterface, 1);
      EXPECT_EQ(v.layout.InterruptIn.Address, 0x83);
      EXPECT_EQ(v.layout.BulkIn.Address, 0x81);
      EXPECT_EQ(v.layout.BulkOut.Address, 0x02);
      EXPECT_EQ(v.layout.BulkIn.MaxPacketSize, c.packet);
      EXPECT_EQ(v.layout.BulkOut.MaxPacketSize, c.packet);
    } else {
      EXPECT_EQ(v.status, STATUS_DEVICE_CONFIGURATION_ERROR);
      EXPECT_NE(v.why.find(c.refusal), std::string::npos) << v.why;
    }
  }
  // The second configuration is not a modem: refused if it were the one read.
  sim::HubOptions two{sim::DescriptorVariant::SecondConfiguration, 64, 0x0100};
  EXPECT_EQ(ParseConfiguration(sim::BuildConfigurationDescriptor(two, 1)).status,
            STATUS_DEVICE_CONFIGURATION_ERROR);
}

TEST(BusDescriptors, EveryTruncationAndEveryBrokenLengthIsRefusedWithinTheBuffer) {
  const std::vector<uint8_t> config = sim::BuildConfigurationDescriptor({}, 0);
  for (size_t n = 0; n < config.size(); ++n) {
    // Cut short, with wTotalLength saying so or not.
    std::vector<uint8_t> cut(config.begin(), config.begin() + n);
    EXPECT_NE(ParseConfiguration(cut).status, STATUS_SUCCESS) << n;
    if (n >= 4) {
      cut[2] = static_cast<uint8_t>(n);
      cut[3] = 0;
      EXPECT_NE(ParseConfiguration(cut).status, STATUS_SUCCESS) << "wTotalLength " << n;
    }
  }
  // Each descriptor's bLength set to every value but its own: refused, or (a longer CDC
  // functional descriptor swallowing the next) at least read within the buffer.
  for (size_t at = 9; at < config.size(); at += config[at]) {
    for (unsigned length = 0; length < 256; ++length) {
      if (length == config[at]) continue;
      std::vector<uint8_t> broken = config;
      broken[at] = static_cast<uint8_t>(length);
      ParseConfiguration(broken);
    }
  }
  for (size_t n = 0; n < 18; ++n) {
    std::vector<uint8_t> device = sim::BuildDeviceDescriptor(0x1A2B, 1, {});
    device.resize(n);
    EXPECT_NE(ParseDevice(device).status, STATUS_SUCCESS) << n;
  }
}

}  // namespace
