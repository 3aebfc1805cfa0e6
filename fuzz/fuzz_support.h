// What the fuzz targets share: a check that stops the run when a property
// does not hold, and a reader that turns the fuzzer's bytes into small numbers
// and strings front to back, so that a seed file can be written by hand and a
// saved input read by eye.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <type_traits>

namespace kestova::fuzz {

// A failed property is reported like a crash: libFuzzer saves the input and
// the run ends non-zero. abort() rather than an exception, so that no caller's
// catch can swallow it.
[[noreturn]] inline void fail(std::string_view what) {
  std::fprintf(stderr, "\nPROPERTY FAILED: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

// `what` is a message, or a function that makes one: building a message
// costs more than most checks, so hot checks pass a lambda that only runs when
// the check fails.
template <class Message>
void require(bool holds, Message&& what) {
  if (holds) return;
  if constexpr (std::is_invocable_v<Message>)
    fail(what());
  else
    fail(what);
}

// Bytes shown in a failure message: printable ASCII as it is, the rest as \xNN.
inline std::string shown(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (char c : bytes) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7f && u != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    }
  }
  return out;
}

// Reads the input front to back; past the end every read gives zeros, so a
// short input is still a whole (if small) test case.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }

  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  // `count` bytes, little-endian.
  std::uint64_t bytes(int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) value |= static_cast<std::uint64_t>(byte()) << (8 * i);
    return value;
  }

  // Up to `count` raw bytes (fewer at the end of the input).
  std::string_view take(std::size_t count) {
    const std::size_t left = pos_ < size_ ? size_ - pos_ : 0;
    const std::size_t n = count < left ? count : left;
    std::string_view out(reinterpret_cast<const char*>(data_) + pos_, n);
    pos_ += n;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace kestova::fuzz
