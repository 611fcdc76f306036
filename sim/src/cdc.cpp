// The CDC ACM class requests and notification of the simulated modem (see sim/cdc.h).

#include "sim/cdc.h"

namespace sim {

namespace {
// CDC class requests the function answers (CDC 1.1, 6.2).
constexpr uint8_t kSetLineCoding = 0x20;
constexpr uint8_t kGetLineCoding = 0x21;
constexpr uint8_t kSetControlLineState = 0x22;
}  // namespace

LineCoding DecodeLineCoding(const uint8_t b[7]) {
  LineCoding c;
  c.rate = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
  c.stopBits = b[4];
  c.parity = b[5];
  c.dataBits = b[6];
  return c;
}

void EncodeLineCoding(const LineCoding& c, uint8_t out[7]) {
  out[0] = static_cast<uint8_t>(c.rate);
  out[1] = static_cast<uint8_t>(c.rate >> 8);
  out[2] = static_cast<uint8_t>(c.rate >> 16);
  out[3] = static_cast<uint8_t>(c.rate >> 24);
  out[4] = c.stopBits;
  out[5] = c.parity;
  out[6] = c.dataBits;
}

CdcRequest ClassifyCdcRequest(uint8_t bm, uint8_t request, uint16_t index, uint16_t length) {
  // Class requests to interface 0 only: bmRequestType 0x21 (host to device) or 0xA1.
  if ((bm & 0x7F) != 0x21 || index != 0) return CdcRequest::Stall;
  const bool in = (bm & 0x80) != 0;
  if (request == kSetLineCoding && !in && length == 7) return CdcRequest::SetLineCoding;
  if (request == kGetLineCoding && in && length == 7) return CdcRequest::GetLineCoding;
  if (request == kSetControlLineState && !in && length == 0) return CdcRequest::SetControlLineState;
  return CdcRequest::Stall;
}

std::vector<uint8_t> SerialStateNotification(uint16_t uartState) {
  return {0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, static_cast<uint8_t>(uartState & 0xFF),
          static_cast<uint8_t>(uartState >> 8)};
}

}  // namespace sim
