// Turns fuzzer bytes into field values of every kind the database can hand
// the program, weighted towards the cases where comparison is subtle: whole
// and real numbers of equal value, the edges of the 64-bit range, NaN and
// infinities, negative zero, and texts that differ only in letter case
// (ASCII and Latin-1 in UTF-8) or in surrounding spaces.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "field_value.h"
#include "fuzz_support.h"

namespace kestova::fuzz {

// Characters for generated texts: every one is valid UTF-8, so a model can
// fold letter case character by character. Both cases of the Latin-1 letters,
// the ×/÷ pair that sits among them but is no letter, ß and ÿ (lower case
// with no Latin-1 capital), Ÿ (a capital outside Latin-1, not folded), the
// space that trimming removes at the ends only, and the tab that it keeps.
inline constexpr std::string_view kTextAlphabet[] = {
    "a", "A", "z", "Z", " ", "0", "1", "'", "_",
    // À à É é Ñ ñ Þ þ
    "\xc3\x80", "\xc3\xa0", "\xc3\x89", "\xc3\xa9", "\xc3\x91", "\xc3\xb1", "\xc3\x9e", "\xc3\xbe",
    // × ÷ ß ÿ Ÿ
    "\xc3\x97", "\xc3\xb7", "\xc3\x9f", "\xc3\xbf", "\xc5\xb8", "\t"};

inline double realFromBits(std::uint64_t bits) {
  double real;
  std::memcpy(&real, &bits, sizeof real);
  return real;
}

// One value. With `rawTexts`, texts may also be any bytes (quotes, NUL,
// invalid UTF-8), for targets that do not fold case in a model.
inline FieldValue readFieldValue(ByteReader& in, bool rawTexts) {
  static constexpr double kTwo63 = 9223372036854775808.0;
  static const double kSpecialReals[] = {
      0.0,
      -0.0,
      kTwo63,
      -kTwo63,
      9223372036854774784.0,  // the largest double below 2^63
      -9223372036854774784.0,
      9007199254740992.0,  // 2^53, where consecutive doubles are 2 apart
      9007199254740993.0,  // rounds to 2^53
      0.5,
      -0.5,
      1e300,
      5e-324,
      std::numeric_limits<double>::infinity(),
      -std::numeric_limits<double>::infinity(),
      std::numeric_limits<double>::quiet_NaN(),
      std::numeric_limits<double>::max(),
  };
  static const std::int64_t kSpecialWholes[] = {
      INT64_MIN, INT64_MAX, INT64_MIN + 1, INT64_MAX - 1, 9007199254740993, -1, 0, 1,
  };

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
    case 4:
      return realFromBits(in.bytes(8));
    case 5:
      return kSpecialReals[in.byte() % std::size(kSpecialReals)];
    case 6:
      return kSpecialWholes[in.byte() % std::size(kSpecialWholes)];
    case 7:
    case 8: {
      if (rawTexts && tag % 20 >= 10) {
        const std::size_t length = in.bytes(2) % 1024;
        return std::string(in.take(length));
      }
      std::string text;
      for (int n = in.byte() % 12; n > 0; --n)
        text += kTextAlphabet[in.byte() % std::size(kTextAlphabet)];
      return text;
    }
    default:
      if (in.byte() % 2 == 0) return Null{};
      return Blob{std::string(in.take(in.byte() % 8))};
  }
}

}  // namespace kestova::fuzz
