// The PostgreSQL type mapping shared by the backends that read PostgreSQL
// rows (README.md, "The PostgreSQL backend").
#include "velct_pg_types.h"

#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <new>

namespace velct::detail {
namespace {

constexpr int32_t kLongValueMax = 32768;  // text and image columns
constexpr int32_t kShortValueMax = 255;   // character columns without a length

// The built-in types the backend describes by name (pg_type's fixed oids).
constexpr uint32_t kBoolOid = 16;
constexpr uint32_t kByteaOid = 17;
constexpr uint32_t kCharOid = 18;
constexpr uint32_t kNameOid = 19;
constexpr uint32_t kInt8Oid = 20;
constexpr uint32_t kInt2Oid = 21;
constexpr uint32_t kInt4Oid = 23;
constexpr uint32_t kTextOid = 25;
constexpr uint32_t kOidOid = 26;
constexpr uint32_t kFloat4Oid = 700;
constexpr uint32_t kFloat8Oid = 701;
constexpr uint32_t kBpcharOid = 1042;
constexpr uint32_t kVarcharOid = 1043;
constexpr uint32_t kDateOid = 1082;
constexpr uint32_t kTimeOid = 1083;
constexpr uint32_t kTimestampOid = 1114;
constexpr uint32_t kTimestamptzOid = 1184;
constexpr uint32_t kTimetzOid = 1266;
constexpr uint32_t kNumericOid = 1700;

// The length n that a type modifier declares for char(n) and varchar(n),
// or -1.
int32_t CharacterLength(int modifier) {
  return modifier >= 4 ? std::min(modifier - 4, kLongValueMax) : -1;
}

PgColumn DescribeType(uint32_t type_oid, int32_t modifier) {
  PgColumn c;
  switch (type_oid) {
    case kInt2Oid:
    case kInt4Oid:
    case kInt8Oid:
    case kOidOid:
      c = {{"", VEL_INT_TYPE, 4}, PgForm::kInteger};
      break;
    case kBoolOid:
      c = {{"", VEL_INT_TYPE, 4}, PgForm::kBoolean};
      break;
    case kFloat4Oid:
    case kFloat8Oid:
      c = {{"", VEL_FLOAT_TYPE, 8}, PgForm::kReal};
      break;
    case kNumericOid: {
      // Sign and point beside the declared precision.
      const int precision = modifier >= 4 ? ((modifier - 4) >> 16) & 0xffff : 0;
      c = {{"", VEL_CHAR_TYPE, precision > 0 ? precision + 2 : kShortValueMax}, PgForm::kText};
      break;
    }
    case kBpcharOid:
    case kVarcharOid: {
      const int32_t n = CharacterLength(modifier);
      c = n > 0 ? PgColumn{{"", VEL_CHAR_TYPE, n}, PgForm::kText}
                : PgColumn{{"", VEL_TEXT_TYPE, kLongValueMax}, PgForm::kText};
      break;
    }
    case kTextOid:
      c = {{"", VEL_TEXT_TYPE, kLongValueMax}, PgForm::kText};
      break;
    case kCharOid:
      c = {{"", VEL_CHAR_TYPE, 1}, PgForm::kText};
      break;
    case kNameOid:
      c = {{"", VEL_CHAR_TYPE, 63}, PgForm::kText};
      break;
    case kByteaOid:
      c = {{"", VEL_IMAGE_TYPE, kLongValueMax}, PgForm::kBytes};
      break;
    case kDateOid:
      c = {{"", VEL_CHAR_TYPE, 10}, PgForm::kText};  // 2024-03-01
      break;
    case kTimeOid:
      c = {{"", VEL_CHAR_TYPE, 15}, PgForm::kText};  // 13:45:00.123456
      break;
    case kTimetzOid:
      c = {{"", VEL_CHAR_TYPE, 21}, PgForm::kText};  // 13:45:00.123456+01:30
      break;
    case kTimestampOid:
      c = {{"", VEL_CHAR_TYPE, 26}, PgForm::kText};  // 2024-03-01 13:45:00.123456
      break;
    case kTimestamptzOid:
      c = {{"", VEL_CHAR_TYPE, 32}, PgForm::kText};  // ... and +01:30
      break;
    default:
      c = {{"", VEL_CHAR_TYPE, kShortValueMax}, PgForm::kText};
  }
  return c;
}

// Whether the server's text of a float is already the character form the
// client library gives a real: the server sends the shortest digits that
// read back to the same value (extra_float_digits 1), and the client
// writes them without an exponent when that is no longer than with one.
// Plain digits with at most one point qualify when they are that short.
bool ShortestAsIs(std::string_view text) {
  size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
  if (i == text.size()) return false;
  size_t significant = 0, zeros = 0;  // zeros: trailing, not yet counted
  bool point = false, leading = true;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.') {
      if (point) return false;
      point = true;
    } else if (c >= '0' && c <= '9') {
      if (c == '0' && leading) continue;
      leading = false;
      if (c == '0') {
        ++zeros;
      } else {
        significant += zeros + 1;
        zeros = 0;
      }
    } else {
      return false;  // an exponent, NaN, Infinity
    }
  }
  if (significant == 0) return true;  // 0 or -0
  // d.ddde+XX: sign, digits, point if more than one digit, four for the
  // exponent (two digits do for the plain range of the server's form).
  const size_t exponent_form = (text[0] == '-' ? 1 : 0) + significant + (significant > 1) + 4;
  return text.size() <= exponent_form;
}

// Reads a bytea value's text form ("\x" and hex digits) into bytes.
void DecodeBytea(std::string_view text, std::string& bytes) {
  bytes.clear();
  if (text.starts_with("\\x")) {
    const auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    bytes.reserve((text.size() - 2) / 2);
    for (size_t i = 2; i + 1 < text.size(); i += 2)
      bytes.push_back(static_cast<char>(nibble(text[i]) << 4 | nibble(text[i + 1])));
    return;
  }
  // The older escaped form, should the server have been told to use it.
  size_t n = 0;
  unsigned char* raw =
      PQunescapeBytea(reinterpret_cast<const unsigned char*>(std::string(text).c_str()), &n);
  if (raw) bytes.assign(reinterpret_cast<const char*>(raw), n);
  PQfreemem(raw);
}

}  // namespace

PgColumn DescribePgColumn(uint32_t type_oid, int32_t modifier, std::string name) {
  PgColumn c = DescribeType(type_oid, modifier);
  c.info.name = std::move(name);
  return c;
}

Cell PgCell(PgForm form, std::string_view text, std::string& scratch) {
  Cell cell;
  const char* end = text.data() + text.size();
  switch (form) {
    case PgForm::kInteger:
      // The server's digits are the decimal form a character binding
      // takes as they are; the number is read only when a binding needs it.
      if (!text.empty()) {
        cell.kind = Cell::Kind::kInt;
        cell.digits = text;
        return cell;
      }
      break;
    case PgForm::kBoolean:
      cell.kind = Cell::Kind::kInt;
      cell.integer = text == "t" ? 1 : 0;
      return cell;
    case PgForm::kReal:
      if (ShortestAsIs(text)) {
        cell.kind = Cell::Kind::kReal;
        cell.digits = text;
        return cell;
      }
      if (std::from_chars(text.data(), end, cell.real).ptr == end) {
        cell.kind = Cell::Kind::kReal;
        return cell;
      }
      break;
    case PgForm::kBytes:
      try {
        DecodeBytea(text, scratch);
      } catch (const std::bad_alloc&) {
        break;  // no room for the bytes: their text form, as it came
      }
      cell.kind = Cell::Kind::kBytes;
      cell.bytes = scratch;
      return cell;
    case PgForm::kText:
      break;
  }
  cell.kind = Cell::Kind::kText;
  cell.bytes = text;
  return cell;
}

}  // namespace velct::detail
