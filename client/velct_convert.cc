// Conversion of values to the bound datatypes.
//
// Character (0): integers in decimal, reals in the shortest form that reads
// back to the same value, text as it is, binary values as two upper-case
// hex digits a byte. Binary, image and text (1, 19, 5, 4): the raw bytes of
// a binary value or of the character form of any other. Integer (8): a
// 4-byte integer; reals are cut toward zero, text is read as a number, and
// values outside the 32-bit range are clamped. Float (10): an 8-byte
// double.
//
// A value longer than its buffer is cut to the buffer's maximum length; the
// copied length is what was delivered and the indicator holds the full
// length (at most 32767). A NULL value sets the indicator to -1 and the
// copied length to 0.
#include "velct_convert.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

namespace velct::detail {
namespace {

constexpr int16_t kIndicatorNull = -1;

void SetLengths(const Binding& b, int32_t copied, int16_t indicator) {
  if (b.copied) *b.copied = copied;
  if (b.indicator) *b.indicator = indicator;
}

void PutBytes(const Binding& b, std::string_view bytes) {
  const size_t room = static_cast<size_t>(std::max(0, b.maxlength));
  const size_t n = std::min(room, bytes.size());
  if (n) std::memcpy(b.buffer, bytes.data(), n);
  const size_t full = std::min<size_t>(bytes.size(), std::numeric_limits<int16_t>::max());
  SetLengths(b, static_cast<int32_t>(n),
             bytes.size() > n ? static_cast<int16_t>(full) : int16_t{0});
}

// Delivers a binary value as two upper-case hex digits a byte, cut like
// any value to the buffer, without building the whole text first.
void PutHex(const Binding& b, std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const size_t full = bytes.size() * 2;
  const size_t n = std::min(static_cast<size_t>(std::max(0, b.maxlength)), full);
  char* out = static_cast<char*>(b.buffer);
  for (size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i / 2]);
    out[i] = kHex[i % 2 == 0 ? c >> 4 : c & 15];
  }
  const size_t shown = std::min<size_t>(full, std::numeric_limits<int16_t>::max());
  SetLengths(b, static_cast<int32_t>(n), full > n ? static_cast<int16_t>(shown) : int16_t{0});
}

// Delivers the character form of a non-NULL value: numbers in digits,
// binary values in hex, text as it is.
void PutCharacters(const Cell& cell, const Binding& b) {
  char digits[32];
  switch (cell.kind) {
    case Cell::Kind::kInt: {
      if (!cell.digits.empty()) return PutBytes(b, cell.digits);
      auto end = std::to_chars(digits, digits + sizeof digits, cell.integer).ptr;
      return PutBytes(b, {digits, static_cast<size_t>(end - digits)});
    }
    case Cell::Kind::kReal: {
      auto end = std::to_chars(digits, digits + sizeof digits, cell.real).ptr;
      return PutBytes(b, {digits, static_cast<size_t>(end - digits)});
    }
    case Cell::Kind::kBytes:
      return PutHex(b, cell.bytes);
    default:
      return PutBytes(b, cell.bytes);
  }
}

// Reads text as a number: an integer when all of it is one, else a real.
bool ParseNumber(std::string_view text, double& real, int64_t& integer, bool& is_integer) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, integer);
  if (ec == std::errc() && p == end) {
    is_integer = true;
    return true;
  }
  auto [q, ec2] = std::from_chars(text.data(), end, real);
  is_integer = false;
  return ec2 == std::errc() && q == end;
}

void ConversionMessage(Outbox& out, int column, const char* target) {
  out.Client(kMsgConversion, "ct_fetch(): the value of column " + std::to_string(column) +
                                 " cannot be converted to " + target);
}

void PutInteger(const Cell& cell, const Binding& b, int column, Outbox& out) {
  constexpr double kMin = std::numeric_limits<int32_t>::min();
  constexpr double kMax = std::numeric_limits<int32_t>::max();
  double value = 0;
  bool ok = true;
  int64_t integer = 0;
  bool is_integer = false;
  switch (cell.kind) {
    case Cell::Kind::kInt:
      value = static_cast<double>(cell.integer);
      break;
    case Cell::Kind::kReal:
      value = std::trunc(cell.real);
      ok = !std::isnan(value);
      break;
    case Cell::Kind::kText:
      ok = ParseNumber(cell.bytes, value, integer, is_integer);
      if (ok && is_integer) value = static_cast<double>(integer);
      value = std::trunc(value);
      break;
    default:
      ok = false;
  }
  int32_t result = 0;
  if (!ok) {
    ConversionMessage(out, column, "an integer");
  } else if (value < kMin || value > kMax) {
    ConversionMessage(out, column, "a 4-byte integer without overflow");
    result =
        value < kMin ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max();
  } else {
    result = cell.kind == Cell::Kind::kInt ? static_cast<int32_t>(cell.integer)
                                           : static_cast<int32_t>(value);
  }
  std::memcpy(b.buffer, &result, sizeof result);
  SetLengths(b, sizeof result, 0);
}

void PutFloat(const Cell& cell, const Binding& b, int column, Outbox& out) {
  double result = 0;
  int64_t integer = 0;
  bool is_integer = false;
  switch (cell.kind) {
    case Cell::Kind::kInt:
      result = static_cast<double>(cell.integer);
      break;
    case Cell::Kind::kReal:
      result = cell.real;
      break;
    case Cell::Kind::kText:
      if (!ParseNumber(cell.bytes, result, integer, is_integer))
        ConversionMessage(out, column, "a float");
      else if (is_integer)
        result = static_cast<double>(integer);
      break;
    default:
      ConversionMessage(out, column, "a float");
  }
  std::memcpy(b.buffer, &result, sizeof result);
  SetLengths(b, sizeof result, 0);
}

}  // namespace

bool BindableType(int32_t datatype) {
  switch (datatype) {
    case VEL_CHAR_TYPE:
    case VEL_BINARY_TYPE:
    case VEL_TEXT_TYPE:
    case VEL_IMAGE_TYPE:
    case VEL_INT_TYPE:
    case VEL_FLOAT_TYPE:
    case VEL_VARBINARY_TYPE:
      return true;
    default:
      return false;
  }
}

void DeliverValue(const Cell& sent, const Binding& b, int column, Outbox& out) {
  // A number that came as digits is read now.
  Cell cell = sent;
  if (!cell.digits.empty()) {
    const char* end = cell.digits.data() + cell.digits.size();
    if (cell.kind == Cell::Kind::kInt) std::from_chars(cell.digits.data(), end, cell.integer);
    if (cell.kind == Cell::Kind::kReal) std::from_chars(cell.digits.data(), end, cell.real);
  }
  if (cell.kind == Cell::Kind::kNull) {
    if (b.datatype == VEL_INT_TYPE) std::memset(b.buffer, 0, sizeof(int32_t));
    if (b.datatype == VEL_FLOAT_TYPE) std::memset(b.buffer, 0, sizeof(double));
    SetLengths(b, 0, kIndicatorNull);
    return;
  }
  switch (b.datatype) {
    case VEL_INT_TYPE:
      return PutInteger(cell, b, column, out);
    case VEL_FLOAT_TYPE:
      return PutFloat(cell, b, column, out);
    case VEL_CHAR_TYPE:
      return PutCharacters(cell, b);
    default:
      // Binary and text bindings take a binary value's bytes unconverted.
      if (cell.kind == Cell::Kind::kBytes) return PutBytes(b, cell.bytes);
      return PutCharacters(cell, b);
  }
}

}  // namespace velct::detail
