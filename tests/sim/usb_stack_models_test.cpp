// The other modem models behind the USB stack in deterministic mode: a paced loopback line whose
// timing comes from the stack's wake timer on virtual time, and the AT modem answering commands.

#include <gtest/gtest.h>

#include "sim/at_modem.h"
#include "sim/loopback_modem.h"
#include "usb_client.h"

namespace sim::testing {
namespace {

class UsbStackModels : public ::testing::Test {
 protected:
  void Bring(std::unique_ptr<Modem> modem) {
    tb_ = std::make_unique<Testbed>(TestbedOptions{});
    tb_->Plug(std::move(modem));
    ASSERT_EQ(tb_->Start(), STATUS_SUCCESS);
    client_ = std::make_unique<UrbClient>(tb_->pdo());
  }
  void TearDown() override {
    tb_.reset();
    client_.reset();
  }
  // One bulk-IN transfer, completed within `ms` of virtual time; returns what it brought.
  std::string ReadWithin(int64_t ms) {
    std::vector<uint8_t> b(4096);
    urbs_.push_back(TransferUrb(client_->Handle(Pipe::BulkIn), kInFlags, b.data(), 4096));
    URB& urb = urbs_.back();
    auto r = client_->Async(&urb);
    tb_->session().RunUntil([&] { return r->done; }, ms * 10000);
    if (!r->done) return "(pending)";
    return Str(b.data(), urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  }
  void Write(const std::string& text) {
    std::string copy = text;
    URB urb = TransferUrb(client_->Handle(Pipe::BulkOut), 0, copy.data(),
                          static_cast<uint32_t>(copy.size()));
    auto r = client_->Async(&urb);
    tb_->Pump();
    ASSERT_TRUE(r->done);
    ASSERT_EQ(r->status, STATUS_SUCCESS);
  }

  std::deque<URB> urbs_;
  std::unique_ptr<Testbed> tb_;
  std::unique_ptr<UrbClient> client_;
};

TEST_F(UsbStackModels, PacedLoopbackReturnsBytesAsVirtualTimePasses) {
  Bring(std::make_unique<LoopbackModem>(/*bytesPerSecond=*/1000));
  const int64_t start = tb_->session().Now();
  Write(std::string(100, 'x'));
  std::string back;
  while (back.size() < 100) {
    const std::string got = ReadWithin(1000);
    ASSERT_NE(got, "(pending)");
    back += got;
  }
  EXPECT_EQ(back, std::string(100, 'x'));
  // 100 bytes at 1000 bytes per second take about 100 ms of line time, and no more than that.
  const int64_t elapsedMs = (tb_->session().Now() - start) / 10000;
  EXPECT_GE(elapsedMs, 95);
  EXPECT_LE(elapsedMs, 110);
}

TEST_F(UsbStackModels, AtModemAnswersThroughTheStack) {
  Bring(std::make_unique<AtModem>());
  Write("AT\r");
  std::string answer;
  while (answer.find("OK\r\n") == std::string::npos) {
    const std::string got = ReadWithin(100);
    ASSERT_NE(got, "(pending)") << answer;
    answer += got;
  }
  EXPECT_EQ(answer, "AT\r\r\nOK\r\n");
  EXPECT_EQ(tb_->usb().Trace().Count(TraceKind::OutSubmit), 1u);
}

}  // namespace
}  // namespace sim::testing
