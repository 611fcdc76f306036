// The descriptors the simulated USB device answers GET_DESCRIPTOR with at hub level: a CDC ACM
// modem built from the modem's configuration (vendor and product id, revision, bulk packet size),
// and variants a test can choose to see the bus driver refuse them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class DescriptorVariant {
  Standard,             // CDC ACM: comm interface 02/02/01 + interrupt-IN, data 0A + bulk IN/OUT
  WrongClass,           // the communications interface is vendor-specific (FFh)
  MissingEndpoint,      // the data interface has no bulk-OUT endpoint
  ExtraEndpoint,        // the data interface has a second bulk-IN endpoint
  BadTotalLength,       // wTotalLength ends inside the last endpoint descriptor
  BadLength,            // the interrupt endpoint's bLength is 0
  BadInterfaceCount,    // bNumInterfaces says 3
  BadEndpointCount,     // the communications interface says 2 endpoints, one follows
  Truncated,            // the device sends 40 bytes of a 67-byte configuration
  BadDeviceDescriptor,  // the device descriptor's bLength is 8
  SecondConfiguration,  // two configurations: the first the modem's, the second vendor-specific
};

// "standard", "wrong-class", ... (the scenario words); nullopt for an unknown name.
std::optional<DescriptorVariant> DescriptorVariantFromName(const std::string& name);
const char* DescriptorVariantName(DescriptorVariant variant);
std::vector<DescriptorVariant> AllDescriptorVariants();

struct HubOptions {
  DescriptorVariant variant = DescriptorVariant::Standard;
  uint16_t bulkMaxPacket = 64;  // 64 (full speed) or 512 (high speed)
  uint16_t revision = 0x0100;   // bcdDevice
};

// The device descriptor (18 bytes, or what the variant makes of it).
std::vector<uint8_t> BuildDeviceDescriptor(uint16_t vendorId, uint16_t productId,
                                           const HubOptions& options);
// The whole configuration descriptor of configuration `index` (0 or, with SecondConfiguration,
// 1), and the number of its bytes the device actually sends (less than its size for Truncated).
std::vector<uint8_t> BuildConfigurationDescriptor(const HubOptions& options, unsigned index,
                                                  size_t* sent = nullptr);
unsigned ConfigurationCount(const HubOptions& options);

}  // namespace sim
