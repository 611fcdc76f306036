// The simulated modem served as a USB device over the usbredir protocol (the SPICE project's USB
// redirection, Debian's libusbredirparser): this side plays the protocol's usb-host, the side
// that owns the device; a virtual machine's usb-redir device (QEMU's `-device usb-redir`) is the
// usb-guest and drives it as a USB device of its own bus.
//
// One UsbredirDevice serves one connected peer on a non-blocking stream socket: the hello, the
// device's interfaces and endpoints and its connection (speed, ids), then the peer's requests:
//  - control packets go to UsbWireDevice::Control (standard and CDC requests; STALL otherwise);
//  - set_configuration, get_configuration, set_alt_setting, get_alt_setting and reset, which
//    the peer sends as messages of their own, likewise;
//  - a bulk-OUT packet's bytes go to the modem and the packet completes at once (on a paced
//    line, once its last byte is in the modem's transmit buffer);
//  - a bulk-IN packet stays pending until the modem has bytes for it, and completes with what
//    there is (at most the length asked), in the order the packets came; cancel_data_packet
//    completes it with usb_redir_cancelled;
//  - between start_interrupt_receiving and stop_interrupt_receiving, each SERIAL_STATE
//    notification goes to the peer as an interrupt packet of the interrupt-IN endpoint.
// Unplug completes the pending packets with usb_redir_cancelled and sends device_disconnect;
// Plug, once the peer acknowledged the disconnection (when it can), connects a new device with a
// new modem, as a modem pulled out and put back in starts afresh. A peer that refuses the device
// (filter_reject: QEMU when its controller's port does not take the device's speed) has dropped
// it; Refused() says so until the next plug or unplug.
//
// What the peer sends is input from the network: a data packet for an endpoint the device does
// not have, of a type that endpoint is not, or of inconsistent lengths is answered with
// usb_redir_inval; one for a halted endpoint with usb_redir_stall; pending bulk-IN packets are
// limited; a packet the parser cannot read (a bad header, a message a usb-guest never sends)
// closes the connection. Not thread-safe: one thread calls everything.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "sim/modem.h"
#include "sim/usb_wire_device.h"

struct usbredirparser;

namespace sim {

struct UsbredirOptions {
  UsbWireOptions device;
  // A new modem model for each device plugged.
  std::function<std::unique_ptr<Modem>()> makeModem;
  // Time in nanoseconds (the modem's clock).
  std::function<uint64_t()> clock;
  // One line per event ("peer hello: ...", "device plugged (...)", "device unplugged", and the
  // parser's warnings), without a prefix or newline.
  std::function<void(const std::string&)> event;
  // Bulk-IN packets a peer may keep pending, and bulk-OUT packets; more are refused
  // (usb_redir_inval).
  size_t maxPendingIn = 64;
  // Bytes of output queued for a peer that does not read before the connection is closed.
  size_t maxQueuedOutput = 16u << 20;
};

class UsbredirDevice {
 public:
  // Serves the peer on `fd` (non-blocking; the caller closes it). `plugged`: whether the device
  // is plugged in when the peer connects.
  UsbredirDevice(int fd, const UsbredirOptions& options, bool plugged);
  ~UsbredirDevice();
  UsbredirDevice(const UsbredirDevice&) = delete;
  UsbredirDevice& operator=(const UsbredirDevice&) = delete;

  // Reads and handles what the peer sent; false once the connection is over (CloseReason).
  bool Read();
  // Polls the modem and answers what waits for it (bulk-IN, notifications). Call after every
  // event and at NextWakeNs.
  void Service();
  // Writes what is queued for the peer; false once the connection is over.
  bool Write();
  bool WantsWrite() const;
  uint64_t NextWakeNs() const;

  void Plug();
  void Unplug();
  bool Plugged() const { return plugged_; }
  // The device is connected to the peer (device_connect sent, no disconnect since).
  bool Connected() const { return device_ != nullptr; }
  // The peer refused the device (filter_reject) since it was last plugged.
  bool Refused() const { return refused_; }
  bool Open() const { return closeReason_.empty(); }
  const std::string& CloseReason() const { return closeReason_; }
  const std::string& PeerVersion() const { return peerVersion_; }
  size_t PendingBulkIn() const { return pendingIn_.size(); }
  size_t PendingBulkOut() const { return pendingOut_.size(); }
  bool InterruptReceiving() const { return interruptReceiving_; }
  // The device while connected (else null).
  UsbWireDevice* Device() { return device_.get(); }

 private:
  struct PendingIn {
    uint64_t id;
    uint8_t endpoint;
    uint32_t length;
    uint32_t streamId;
  };
  struct PendingOut {
    uint64_t id;
    uint64_t ticket;  // UsbWireDevice::BulkOut's
    uint8_t endpoint;
    uint32_t length;
  };
  // Parser callbacks (usbredir_device.cpp binds them).
  friend struct UsbredirCallbacks;
  void OnHello(const char* version);
  void OnReset();
  void OnSetConfiguration(uint64_t id, uint8_t configuration);
  void OnGetConfiguration(uint64_t id);
  void OnSetAltSetting(uint64_t id, uint8_t interface, uint8_t alt);
  void OnGetAltSetting(uint64_t id, uint8_t interface);
  void OnStartInterrupt(uint64_t id, uint8_t endpoint);
  void OnStopInterrupt(uint64_t id, uint8_t endpoint);
  void OnCancel(uint64_t id);
  void OnDisconnectAck();
  void OnFilterReject();
  void OnControl(uint64_t id, const void* header, const uint8_t* data, int length);
  void OnBulk(uint64_t id, const void* header, const uint8_t* data, int length);
  void OnInterrupt(uint64_t id, uint8_t endpoint);
  void OnIso(uint64_t id, uint8_t endpoint);
  int ReadSocket(uint8_t* data, int count);
  int WriteSocket(const uint8_t* data, int count);

  void Connect();
  void SendInfo();
  void CompleteIn(const PendingIn& p, uint8_t status, const std::vector<uint8_t>& data);
  void CompleteOut(const PendingOut& p, uint8_t status, uint32_t length);
  void CancelPending(uint8_t status);
  void CheckOutput();
  void Event(const std::string& line);

  int fd_;
  UsbredirOptions options_;
  usbredirparser* parser_ = nullptr;
  bool plugged_;
  bool helloReceived_ = false;
  bool awaitingAck_ = false;
  bool refused_ = false;
  bool peerClosed_ = false;
  std::string closeReason_;
  std::string peerVersion_;
  std::unique_ptr<UsbWireDevice> device_;
  std::deque<PendingIn> pendingIn_;
  std::deque<PendingOut> pendingOut_;
  bool interruptReceiving_ = false;
  uint64_t interruptId_ = 0;
};

}  // namespace sim
