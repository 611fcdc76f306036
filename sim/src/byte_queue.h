// A FIFO of bytes for the modem models: what the computer sent and the line has not yet taken,
// or what the model produced and the bulk-IN FIFO has not yet room for. Appends at the back,
// consumes at the front; the consumed head is reclaimed in bulk so both ends stay O(1) amortised.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace sim::detail {

class ByteQueue {
 public:
  bool Empty() const { return head_ == buf_.size(); }
  size_t Size() const { return buf_.size() - head_; }
  const uint8_t* Front() const { return buf_.data() + head_; }

  void Append(const uint8_t* data, size_t n) {
    if (n == 0) return;
    buf_.insert(buf_.end(), data, data + n);
  }
  void Append(const char* text) { Append(reinterpret_cast<const uint8_t*>(text), std::strlen(text)); }
  void Push(uint8_t b) { buf_.push_back(b); }

  void Consume(size_t n) {
    head_ += n;
    if (head_ == buf_.size()) {
      buf_.clear();
      head_ = 0;
    } else if (head_ >= 65536 && head_ * 2 >= buf_.size()) {
      buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
  }
  void Clear() {
    buf_.clear();
    head_ = 0;
  }

 private:
  std::vector<uint8_t> buf_;
  size_t head_ = 0;
};

}  // namespace sim::detail
