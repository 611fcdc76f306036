// Building the simulated modem's descriptors (see sim/usb_descriptors.h).

#include "sim/usb_descriptors.h"

#include <initializer_list>

namespace sim {

namespace {

struct Named {
  DescriptorVariant variant;
  const char* name;
};
constexpr Named kNames[] = {
    {DescriptorVariant::Standard, "standard"},
    {DescriptorVariant::WrongClass, "wrong-class"},
    {DescriptorVariant::MissingEndpoint, "missing-endpoint"},
    {DescriptorVariant::ExtraEndpoint, "extra-endpoint"},
    {DescriptorVariant::BadTotalLength, "bad-total-length"},
    {DescriptorVariant::BadLength, "bad-length"},
    {DescriptorVariant::BadInterfaceCount, "bad-interface-count"},
    {DescriptorVariant::BadEndpointCount, "bad-endpoint-count"},
    {DescriptorVariant::Truncated, "truncated"},
    {DescriptorVariant::BadDeviceDescriptor, "bad-device-descriptor"},
    {DescriptorVariant::SecondConfiguration, "second-configuration"},
};

// Byte by byte (GCC 12 warns falsely about vector::insert of a short list at -O2).
void Append(std::vector<uint8_t>& d, std::initializer_list<uint8_t> bytes) {
  for (uint8_t b : bytes) d.push_back(b);
}

void Word(std::vector<uint8_t>& d, uint16_t w) {
  d.push_back(static_cast<uint8_t>(w & 0xFF));
  d.push_back(static_cast<uint8_t>(w >> 8));
}

void Endpoint(std::vector<uint8_t>& d, uint8_t address, uint8_t type, uint16_t maxPacket,
              uint8_t interval, uint8_t length = 7) {
  Append(d, {length, 0x05, address, type});
  Word(d, maxPacket);
  d.push_back(interval);
}

}  // namespace

std::optional<DescriptorVariant> DescriptorVariantFromName(const std::string& name) {
  for (const Named& n : kNames) {
    if (name == n.name) return n.variant;
  }
  return std::nullopt;
}

const char* DescriptorVariantName(DescriptorVariant variant) {
  for (const Named& n : kNames) {
    if (n.variant == variant) return n.name;
  }
  return "?";
}

std::vector<DescriptorVariant> AllDescriptorVariants() {
  std::vector<DescriptorVariant> all;
  for (const Named& n : kNames) all.push_back(n.variant);
  return all;
}

unsigned ConfigurationCount(const HubOptions& options) {
  return options.variant == DescriptorVariant::SecondConfiguration ? 2 : 1;
}

std::vector<uint8_t> BuildDeviceDescriptor(uint16_t vendorId, uint16_t productId,
                                           const HubOptions& options) {
  std::vector<uint8_t> d = {18, 0x01};
  Word(d, 0x0200);                  // bcdUSB
  Append(d, {0x02, 0x00, 0x00, 64});  // CDC device class, packet size 0
  Word(d, vendorId);
  Word(d, productId);
  Word(d, options.revision);
  Append(d, {1, 2, 0, static_cast<uint8_t>(ConfigurationCount(options))});
  if (options.variant == DescriptorVariant::BadDeviceDescriptor) d[0] = 8;
  return d;
}

std::vector<uint8_t> BuildConfigurationDescriptor(const HubOptions& options, unsigned index,
                                                  size_t* sent) {
  const DescriptorVariant v = options.variant;
  std::vector<uint8_t> d = {9, 0x02, 0, 0, 2, static_cast<uint8_t>(index + 1), 0, 0x80, 50};
  if (index == 1) {
    // A vendor-specific configuration: one interface, one bulk pair.
    d[4] = 1;
    Append(d, {9, 0x04, 0, 0, 2, 0xFF, 0xFF, 0xFF, 0});
    Endpoint(d, 0x81, 0x02, options.bulkMaxPacket, 0);
    Endpoint(d, 0x02, 0x02, options.bulkMaxPacket, 0);
  } else {
    // Communications interface with its CDC functional descriptors (header, call management,
    // ACM, union) and the notification endpoint.
    const uint8_t commEndpoints = v == DescriptorVariant::BadEndpointCount ? 2 : 1;
    const uint8_t commClass = v == DescriptorVariant::WrongClass ? 0xFF : 0x02;
    Append(d, {9, 0x04, 0, 0, commEndpoints, commClass, 0x02, 0x01, 0});
    Append(d, {5, 0x24, 0x00, 0x10, 0x01});
    Append(d, {5, 0x24, 0x01, 0x00, 0x01});
    Append(d, {4, 0x24, 0x02, 0x02});
    Append(d, {5, 0x24, 0x06, 0x00, 0x01});
    Endpoint(d, 0x83, 0x03, 16, 10, v == DescriptorVariant::BadLength ? 0 : 7);
    // Data interface.
    uint8_t dataEndpoints = 2;
    if (v == DescriptorVariant::MissingEndpoint) dataEndpoints = 1;
    if (v == DescriptorVariant::ExtraEndpoint) dataEndpoints = 3;
    Append(d, {9, 0x04, 1, 0, dataEndpoints, 0x0A, 0x00, 0x00, 0});
    Endpoint(d, 0x81, 0x02, options.bulkMaxPacket, 0);
    if (v != DescriptorVariant::MissingEndpoint) Endpoint(d, 0x02, 0x02, options.bulkMaxPacket, 0);
    if (v == DescriptorVariant::ExtraEndpoint) Endpoint(d, 0x84, 0x02, options.bulkMaxPacket, 0);
    if (v == DescriptorVariant::BadInterfaceCount) d[4] = 3;
  }
  uint16_t total = static_cast<uint16_t>(d.size());
  if (v == DescriptorVariant::BadTotalLength && index == 0) {
    total = static_cast<uint16_t>(d.size() - 3);
    d.resize(total);
  }
  d[2] = static_cast<uint8_t>(total & 0xFF);
  d[3] = static_cast<uint8_t>(total >> 8);
  if (sent) *sent = v == DescriptorVariant::Truncated && index == 0 ? 40 : d.size();
  return d;
}

}  // namespace sim
