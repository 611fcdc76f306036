// The simulated modem as a whole USB device seen from the wire, for a transport that carries USB
// transfers to another machine (the usbredir server, sim/usbredir_device.h): the hub-level
// device's descriptors (usb_descriptors.h), the standard requests on endpoint 0, the CDC class
// requests (cdc.h) mapped onto the modem model, the bulk-IN FIFO the model fills, the bulk-OUT
// bytes it receives and the SERIAL_STATE notifications of the interrupt-IN endpoint.
//
// It knows nothing of the host kernel, of requests or of time beyond the clock it is given; a
// transport asks it for what each transfer gets. Not thread-safe: one caller.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/cdc.h"
#include "sim/line.h"
#include "sim/modem.h"
#include "sim/usb_descriptors.h"

namespace sim {

// The eight bytes of a SETUP packet.
struct UsbSetup {
  uint8_t requestType = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;
};

struct UsbWireOptions {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  // Bulk packet size 64: a full-speed device; 512: a high-speed one (with a device qualifier and
  // an other-speed configuration at full speed).
  HubOptions hub;
  size_t bulkInCapacity = 64 * 1024;  // the bulk-IN FIFO (ModemHost::HostRoom when empty)
  size_t notificationsKept = 64;      // interrupt-IN notifications not yet taken, the latest kept
  // The modem keeps time (sim/line.h): bytes reach the modem from its transmit buffer, and the
  // computer from the modem, at the line rate. shortOut is not offered here.
  LineOptions line;
  std::string manufacturer = "Tavrin";
  std::string product = "Tavrin USB Modem";
};

class UsbWireDevice final : public ModemHost {
 public:
  struct Interface {
    uint8_t number, cls, subClass, protocol;
  };
  struct Endpoint {
    uint8_t address, type, interval, interface;  // type: 2 bulk, 3 interrupt
    uint16_t maxPacket;
  };

  // `clock` gives the time in nanoseconds (the modem's NowNs).
  UsbWireDevice(std::unique_ptr<Modem> modem, const UsbWireOptions& options,
                std::function<uint64_t()> clock);
  ~UsbWireDevice() override;
  UsbWireDevice(const UsbWireDevice&) = delete;
  UsbWireDevice& operator=(const UsbWireDevice&) = delete;

  bool HighSpeed() const { return options_.hub.bulkMaxPacket >= 512; }
  std::vector<uint8_t> DeviceDescriptor() const;

  // ---- Endpoint 0 ------------------------------------------------------------------------------
  // A control transfer: nullopt for a STALL, else what the data stage returns (IN: at most
  // setup.length bytes; OUT: empty). `data` holds the OUT data stage (setup.length bytes).
  std::optional<std::vector<uint8_t>> Control(const UsbSetup& setup, const uint8_t* data, size_t n);
  // SET_CONFIGURATION (0 unconfigures); false for a value the device does not have.
  bool SetConfiguration(uint8_t value);
  uint8_t Configuration() const { return configuration_; }
  // SET_INTERFACE: only alternate setting 0 of an interface of the current configuration.
  bool SetInterface(uint8_t interface, uint8_t alt);
  std::optional<uint8_t> AltSetting(uint8_t interface) const;
  // A bus reset: endpoint halts clear; the configuration stays, as a host controller's driver
  // sets it again after the reset, and so do the notifications not yet taken: a virtual machine
  // resets the device several times while it enumerates it, and the function driver that reads
  // the interrupt endpoint afterwards still gets the modem's first SERIAL_STATE (DSR on), as it
  // does from the USB stack below the driver on the host kernel.
  void Reset();
  // The interfaces and endpoints of the current configuration (none while unconfigured).
  const std::vector<Interface>& Interfaces() const { return interfaces_; }
  const std::vector<Endpoint>& Endpoints() const { return endpoints_; }
  const Endpoint* FindEndpoint(uint8_t address) const;
  bool Halted(uint8_t address) const;

  // ---- Data endpoints --------------------------------------------------------------------------
  // A bulk-OUT transfer: its bytes for the modem. Returns a ticket; the transfer is complete once
  // CompletedOut lists it: at once, or on a paced line once its last byte is in the modem's
  // transmit buffer (the endpoint NAKs meanwhile).
  uint64_t BulkOut(const uint8_t* data, size_t n);
  // Tickets of the bulk-OUT transfers completed since the last call, in order.
  std::vector<uint64_t> TakeCompletedOut();
  // Drops a bulk-OUT transfer that has not completed: its bytes not yet in the transmit buffer
  // are not sent. False if the ticket is not pending.
  bool CancelOut(uint64_t ticket);
  size_t BulkInQueued() const { return fifo_.size(); }
  // Up to `max` bytes of the bulk-IN FIFO; the modem is polled after room freed.
  std::vector<uint8_t> TakeBulkIn(size_t max);
  bool NotificationQueued() const { return !notifications_.empty(); }
  std::vector<uint8_t> TakeNotification();

  // ---- Time ------------------------------------------------------------------------------------
  // Polls the modem when it asked for it (a wake time reached, room freed); call after every
  // event and at NextWakeNs.
  void Service();
  uint64_t NextWakeNs() const;

  Modem& GetModem() { return *modem_; }
  const LineCoding& CurrentLineCoding() const { return lineCoding_; }
  uint16_t ControlLineState() const { return controlLines_; }
  // The UART state of the last SERIAL_STATE the model sent.
  uint16_t LastSerialState() const { return lastState_; }

  // ---- ModemHost -------------------------------------------------------------------------------
  void SendToHost(const uint8_t* data, size_t n) override;
  size_t HostRoom() const override;
  void SendSerialState(uint16_t uartState) override;
  uint64_t NowNs() const override { return clock_(); }
  void WakeAt(uint64_t ns) override;

 private:
  std::optional<std::vector<uint8_t>> Standard(const UsbSetup& setup);
  std::optional<std::vector<uint8_t>> Descriptor(uint8_t type, uint8_t index, uint16_t lang);
  std::vector<uint8_t> StringDescriptor(const std::string& text) const;
  void ParseConfiguration();
  LineClock Clock() const;
  void DrainTx(uint64_t now);
  void CompleteOut();
  struct OutTransfer {
    uint64_t ticket;
    uint64_t end;  // stream offset just past its last byte
  };

  std::unique_ptr<Modem> modem_;
  UsbWireOptions options_;
  std::function<uint64_t()> clock_;
  uint8_t configuration_ = 0;
  std::vector<Interface> interfaces_;
  std::vector<Endpoint> endpoints_;
  std::vector<uint8_t> halted_;  // endpoint addresses halted by SET_FEATURE(ENDPOINT_HALT)
  std::deque<uint8_t> fifo_;
  std::deque<std::vector<uint8_t>> notifications_;
  LineCoding lineCoding_;
  uint16_t controlLines_ = 0;
  uint16_t lastState_ = 0;
  mutable uint64_t wakeAtNs_ = UINT64_MAX;
  bool pollSoon_ = false;
  // The paced line. Transmit: every bulk-OUT byte not yet on the line, the buffer's first; the
  // stream offsets of what was queued and what went to the modem; transfers not yet complete.
  std::deque<uint8_t> tx_;
  uint64_t txQueued_ = 0;
  uint64_t txOnLine_ = 0;
  std::deque<OutTransfer> out_;
  std::vector<uint64_t> completedOut_;
  uint64_t nextTicket_ = 1;
  mutable LineMeter txMeter_;
  mutable LineMeter rxMeter_;
};

}  // namespace sim
