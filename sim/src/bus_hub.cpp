// The USB device at hub level (PlugOptions::hub): what the USB hub driver's PDO serves to the
// device's function driver beyond the pipe and class requests of the USB stack.
//
//  - URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: the device descriptor, or configuration descriptor
//    `Index`, as many bytes as asked for and the device has (TransferBufferLength receives the
//    count); another type or index STALLs (STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID).
//  - URB_FUNCTION_SELECT_CONFIGURATION: with a descriptor, every interface of that configuration
//    must be in the URB, each USBD_INTERFACE_INFORMATION long enough for its pipes (else
//    STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER); the device is configured (a new
//    generation of pipe handles, as the modem's parent's start makes one) and each interface's
//    class, handle and pipes are filled in. With a null descriptor the device is unconfigured
//    (pending transfers cancelled, handles stale).
// Both fail with STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE once unplugged. They are
// counted (DescriptorRequests, SelectCount, UnconfigureCount), not traced: the bus trace is the
// modem function's traffic, which starts once the device is configured.

#include <cstring>

#include "sim/bus.h"

namespace sim {

namespace {

constexpr size_t kSelectHead =
    sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);

size_t InterfaceInfoSize(ULONG pipes) {
  return sizeof(USBD_INTERFACE_INFORMATION) + (pipes - 1) * sizeof(USBD_PIPE_INFORMATION);
}

}  // namespace

void BusDevice::SetHubOptions(const HubOptions& options) {
  std::lock_guard<std::mutex> lock(mutex_);
  hub_ = options;
}

void BusDevice::FailNextSelect(NTSTATUS status, USBD_STATUS usbdStatus) {
  std::lock_guard<std::mutex> lock(mutex_);
  selectFaults_.emplace_back(status, usbdStatus);
}

unsigned BusDevice::SelectCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return selects_;
}

unsigned BusDevice::UnconfigureCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unconfigures_;
}

unsigned BusDevice::DescriptorRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return descriptorRequests_;
}

NTSTATUS BusDevice::DispatchInternalDeviceControl(PIRP irp) {
  NTSTATUS status;
  if (hub_ && HubControl(irp, &status)) return status;
  return usb_->DispatchInternalDeviceControl(pdo_, irp);
}

bool BusDevice::HubControl(PIRP irp, NTSTATUS* status) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) return false;
  auto* urb = static_cast<PURB>(sp->Parameters.Others.Argument1);
  if (!urb) return false;
  const USHORT function = urb->UrbHeader.Function;
  if (function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
      function != URB_FUNCTION_SELECT_CONFIGURATION) {
    return false;
  }
  if (Unplugged()) {
    *status = STATUS_DEVICE_NOT_CONNECTED;
    urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
  } else if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
    *status = GetDescriptor(urb);
  } else {
    *status = SelectConfiguration(urb);
  }
  irp->IoStatus.Status = *status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return true;
}

NTSTATUS BusDevice::GetDescriptor(PURB urb) {
  auto& r = urb->UrbControlDescriptorRequest;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++descriptorRequests_;
  }
  if (urb->UrbHeader.Length != sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) ||
      (r.TransferBuffer == nullptr && r.TransferBufferLength != 0)) {
    urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
    return STATUS_INVALID_PARAMETER;
  }
  std::vector<uint8_t> bytes;
  size_t sent = 0;
  if (r.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && r.Index == 0) {
    bytes = BuildDeviceDescriptor(vendorId_, productId_, *hub_);
    sent = bytes.size();
  } else if (r.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
             r.Index < ConfigurationCount(*hub_)) {
    bytes = BuildConfigurationDescriptor(*hub_, r.Index, &sent);
  } else {
    r.TransferBufferLength = 0;
    urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
    return STATUS_UNSUCCESSFUL;
  }
  const size_t n = std::min<size_t>(sent, r.TransferBufferLength);
  if (n) std::memcpy(r.TransferBuffer, bytes.data(), n);
  r.TransferBufferLength = static_cast<ULONG>(n);
  urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

NTSTATUS BusDevice::SelectConfiguration(PURB urb) {
  auto& s = urb->UrbSelectConfiguration;
  auto invalid = [&] {
    urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
    return STATUS_INVALID_PARAMETER;
  };
  if (urb->UrbHeader.Length < kSelectHead) return invalid();
  if (s.ConfigurationDescriptor == nullptr) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++unconfigures_;
    }
    usb_->Deconfigure();
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
  }
  std::optional<std::pair<NTSTATUS, USBD_STATUS>> fault;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++selects_;
    if (!selectFaults_.empty()) {
      fault = selectFaults_.front();
      selectFaults_.erase(selectFaults_.begin());
    }
  }
  if (fault) {
    urb->UrbHeader.Status = fault->second;
    return fault->first;
  }
  // The configuration the descriptor names (its bConfigurationValue), as the device has it.
  const unsigned value = s.ConfigurationDescriptor->bConfigurationValue;
  if (value == 0 || value > ConfigurationCount(*hub_)) return invalid();
  const std::vector<uint8_t> config = BuildConfigurationDescriptor(*hub_, value - 1);

  // Each interface of the configuration: its number, class and endpoints.
  struct Iface {
    uint8_t number, cls, sub, proto;
    std::vector<std::array<uint8_t, 4>> endpoints;  // address, type, max packet lo/hi
    bool seen = false;
  };
  std::vector<Iface> ifaces;
  for (size_t o = config[0]; o + 2 <= config.size() && config[o] >= 2; o += config[o]) {
    if (o + config[o] > config.size()) break;
    if (config[o + 1] == 0x04 && config[o] >= 9 && config[o + 3] == 0) {
      ifaces.push_back({config[o + 2], config[o + 5], config[o + 6], config[o + 7], {}});
    } else if (config[o + 1] == 0x05 && config[o] >= 7 && !ifaces.empty()) {
      ifaces.back().endpoints.push_back({config[o + 2], config[o + 3], config[o + 4], config[o + 5]});
    }
  }

  // Check the request first; configure only a request that is whole.
  std::vector<PUSBD_INTERFACE_INFORMATION> infos;
  for (size_t offset = kSelectHead; offset < urb->UrbHeader.Length;) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(urb) + offset);
    if (offset + InterfaceInfoSize(1) > urb->UrbHeader.Length || info->Length < InterfaceInfoSize(1) ||
        offset + info->Length > urb->UrbHeader.Length) {
      return invalid();
    }
    Iface* found = nullptr;
    for (Iface& i : ifaces) {
      if (i.number == info->InterfaceNumber) found = &i;
    }
    if (!found || found->seen || info->AlternateSetting != 0 || found->endpoints.empty() ||
        info->Length < InterfaceInfoSize(static_cast<ULONG>(found->endpoints.size()))) {
      return invalid();
    }
    found->seen = true;
    infos.push_back(info);
    offset += info->Length;
  }
  for (const Iface& i : ifaces) {
    if (!i.seen) return invalid();
  }

  usb_->Configure();
  for (PUSBD_INTERFACE_INFORMATION info : infos) {
    const Iface* i = nullptr;
    for (const Iface& c : ifaces) {
      if (c.number == info->InterfaceNumber) i = &c;
    }
    info->Class = i->cls;
    info->SubClass = i->sub;
    info->Protocol = i->proto;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(
        static_cast<uintptr_t>(0x1F000000u | number_ << 8 | info->InterfaceNumber));
    info->NumberOfPipes = static_cast<ULONG>(i->endpoints.size());
    for (size_t p = 0; p < i->endpoints.size(); ++p) {
      const auto& ep = i->endpoints[p];
      USBD_PIPE_INFORMATION& pipe = info->Pipes[p];
      pipe.EndpointAddress = ep[0];
      pipe.PipeType = (ep[1] & 3) == 3 ? UsbdPipeTypeInterrupt : UsbdPipeTypeBulk;
      pipe.MaximumPacketSize = static_cast<USHORT>(ep[2] | ep[3] << 8);
      pipe.Interval = (ep[1] & 3) == 3 ? 10 : 0;
      // The modem's three pipes by endpoint: 0x81 bulk-IN, 0x02 bulk-OUT, 0x83 interrupt-IN.
      uint32_t word = 0;
      if (ep[0] == 0x81) word = usb_->PipeHandleWord(Pipe::BulkIn);
      if (ep[0] == 0x02) word = usb_->PipeHandleWord(Pipe::BulkOut);
      if (ep[0] == 0x83) word = usb_->PipeHandleWord(Pipe::Interrupt);
      pipe.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<uintptr_t>(word));
      if (pipe.MaximumTransferSize == 0) pipe.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
  }
  s.ConfigurationHandle =
      reinterpret_cast<USBD_CONFIGURATION_HANDLE>(static_cast<uintptr_t>(0x1C000000u | number_));
  urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

}  // namespace sim
