// What the CDC ACM function of the simulated modem answers on its communications interface,
// shared by the USB stack below the driver on the host kernel (usb_stack.h) and by the whole USB
// device a network transport serves (usb_wire_device.h): the three class requests, the line
// coding's 7 bytes, and the SERIAL_STATE notification.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

struct LineCoding {
  uint32_t rate = 9600;
  uint8_t stopBits = 0;  // 0: 1, 1: 1.5, 2: 2
  uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t dataBits = 8;
  bool operator==(const LineCoding&) const = default;
};

// The line coding structure of SET_LINE_CODING and GET_LINE_CODING (7 bytes, little-endian).
LineCoding DecodeLineCoding(const uint8_t bytes[7]);
void EncodeLineCoding(const LineCoding& coding, uint8_t out[7]);

// A request on the default pipe, as the function sorts it: the three class requests it answers
// (on interface 0, with the data stage each one has), or anything else, which it STALLs.
enum class CdcRequest { Stall, SetLineCoding, GetLineCoding, SetControlLineState };
CdcRequest ClassifyCdcRequest(uint8_t bmRequestType, uint8_t bRequest, uint16_t wIndex,
                              uint16_t wLength);

// The 10-byte CDC SERIAL_STATE notification for interface 0 with this UART state bitmap:
// A1 20 00 00 00 00 02 00 <state low> <state high>.
std::vector<uint8_t> SerialStateNotification(uint16_t uartState);

}  // namespace sim
