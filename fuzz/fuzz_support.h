// What the fuzz targets share: a check that stops the run when a property does
// not hold, and a reader that turns the fuzzer's bytes front to back into
// small numbers, texts and field values, so that a seed can be written by hand
// and a saved input read by eye.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

#include "data/field_value.h"

namespace kestova::fuzz {

// A failed property is reported like a crash: libFuzzer saves the input and
// the run ends non-zero. abort() rather than an exception, so that no caller's
// catch can swallow it.
[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "\nPROPERTY FAILED: %s\n", what.c_str());
  std::abort();
}

// `what` is a message, or a function that makes one only when the check fails.
template <class Message>
void require(bool holds, const Message& what) {
  if (holds) return;
  if constexpr (std::is_invocable_v<Message>)
    fail(what());
  else
    fail(what);
}

// Bytes shown in a failure message: printable ASCII as it is, the rest as \xNN.
inline std::string shown(std::string_view bytes) {
  std::string out;
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
    out += u >= 0x20 && u < 0x7f && u != '\\' ? std::string(1, c) : escaped;
  }
  return out;
}

// Reads the input front to back; past the end every read gives zeros, so a
// short input is still a whole (if small) test case.
class ByteReader {
 public:
  explicit ByteReader(std::string_view data) : data_(data) {}

  bool empty() const { return data_.empty(); }
  std::uint8_t byte() { return empty() ? 0 : static_cast<std::uint8_t>(take(1)[0]); }
  // `count` bytes, little-endian.
  std::uint64_t bytes(int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) value |= static_cast<std::uint64_t>(byte()) << (8 * i);
    return value;
  }
  // Up to `count` raw bytes (fewer at the end of the input).
  std::string_view take(std::size_t count) {
    std::string_view out = data_.substr(0, count);
    data_.remove_prefix(out.size());
    return out;
  }

 private:
  std::string_view data_;
};

// One field value of any kind the database hands the program, weighted towards
// where comparison is subtle: whole and real numbers of equal value, the edges
// of the 64-bit range (the largest double below 2^63, 2^53 + 1 that rounds to
// 2^53), NaN and infinities, negative zero, and texts that differ only in
// letter case (ASCII and Latin-1 in UTF-8: À à É é Ñ ñ Þ þ, the ×/÷ pair that
// are no letters, ß and ÿ without a Latin-1 capital, Ÿ outside it) or in
// surrounding spaces (and a tab, which trimming keeps). With `rawTexts`, texts
// may also be any bytes: quotes, NUL, invalid UTF-8.
inline FieldValue readFieldValue(ByteReader& in, bool rawTexts) {
  using Limits = std::numeric_limits<double>;
  static constexpr double kTwo63 = 9223372036854775808.0, kInf = Limits::infinity();
  static const double kReals[] = {
      0.0, -0.0,   kTwo63, -kTwo63, 9223372036854774784.0, 9007199254740993.0,
      0.5, 5e-324, kInf,   -kInf,   Limits::quiet_NaN(),   Limits::max()};
  static const std::int64_t kWholes[] = {INT64_MIN, INT64_MAX, INT64_MIN + 1, 9007199254740993, -1};
  static constexpr std::string_view kAscii = "aAzZ 01'_\t";
  static constexpr std::string_view kLatin1 = "ÀàÉéÑñÞþ×÷ßÿŸ";  // two bytes each

  const std::uint8_t tag = in.byte();
  switch (tag % 10) {
    case 0:
      return std::int64_t{static_cast<std::int8_t>(in.byte())};
    case 1:
      return static_cast<std::int64_t>(in.bytes(8));
    case 2:
      return static_cast<double>(static_cast<std::int8_t>(in.byte()));
    case 3:
      return static_cast<std::int8_t>(in.byte()) / 4.0;
    case 4: {
      const std::uint64_t bits = in.bytes(8);
      double real;
      std::memcpy(&real, &bits, sizeof real);
      return real;
    }
    case 5:
      return kReals[in.byte() % std::size(kReals)];
    case 6:
      return kWholes[in.byte() % std::size(kWholes)];
    case 7:
    case 8: {
      if (rawTexts && tag % 20 >= 10) return std::string(in.take(in.bytes(2) % 1024));
      std::string text;
      for (int n = in.byte() % 12; n > 0; --n) {
        const std::size_t pick = in.byte() % (kAscii.size() + kLatin1.size() / 2);
        text += pick < kAscii.size() ? kAscii.substr(pick, 1)
                                     : kLatin1.substr(2 * (pick - kAscii.size()), 2);
      }
      return text;
    }
    default:
      if (in.byte() % 2 == 0) return Null{};
      return Blob{std::string(in.take(in.byte() % 8))};
  }
}

}  // namespace kestova::fuzz
