#include "options/value_conversion.h"

#include <cctype>
#include <cstdlib>

namespace options {
namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool is_decimal_digit(char c) {
  return c >= '0' && c <= '9';
}

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// An unsigned number in C notation at text: 0x/0X hex, leading 0 octal, else
// decimal. Sets *end behind the last digit used (text itself when there is no
// digit). Keeps the low 64 bits and notes whether anything was lost.
struct CNumber {
  std::uint64_t value = 0;
  bool overflowed = false;
  const char* end = nullptr;
};

CNumber scan_c_number(const char* text) {
  CNumber number;
  number.end = text;
  if (!is_decimal_digit(text[0])) return number;
  int base = 10;
  const char* digits = text;
  if (text[0] == '0') {
    const bool hex_prefix = (text[1] == 'x' || text[1] == 'X') && digit_value(text[2]) < 16;
    base = hex_prefix ? 16 : 8;
    digits = hex_prefix ? text + 2 : text;
  }
  for (; digit_value(*digits) < base; ++digits) {
    const std::uint64_t before = number.value;
    number.value = number.value * static_cast<unsigned>(base) + static_cast<unsigned>(digit_value(*digits));
    if (number.value / static_cast<unsigned>(base) != before) number.overflowed = true;
  }
  number.end = digits;
  return number;
}

}  // namespace

bool scan_integer(const char* text, std::int32_t* value) {
  while (is_space(*text)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = (*text++ == '-');
  const CNumber number = scan_c_number(text);
  if (number.end == text) return false;
  const auto low_bits = static_cast<std::uint32_t>(number.value);
  *value = static_cast<std::int32_t>(negative ? 0u - low_bits : low_bits);
  return true;
}

bool scan_real(const char* text, double* value) {
  char* end = nullptr;
  const double result = std::strtod(text, &end);
  if (end == text) return false;
  *value = result;
  return true;
}

std::uint32_t dotted_address(const char* text) {
  std::uint32_t parts[3] = {};
  int part_count = 0;
  CNumber last;
  for (;;) {
    last = scan_c_number(text);
    if (last.end == text || last.overflowed) return kInvalidAddress;
    text = last.end;
    if (*text != '.') break;
    if (part_count == 3 || last.value > 0xFF) return kInvalidAddress;
    parts[part_count++] = static_cast<std::uint32_t>(last.value);
    ++text;
  }
  if (*text != '\0' && !is_space(*text)) return kInvalidAddress;
  // The last part fills every byte the earlier parts left.
  const std::uint64_t last_part_limit = 0xFFFFFFFFull >> (8 * part_count);
  if (last.value > last_part_limit) return kInvalidAddress;
  std::uint32_t address = static_cast<std::uint32_t>(last.value);
  for (int index = 0; index < part_count; ++index) address |= parts[index] << (24 - 8 * index);
  return address;
}

bool looks_dotted(const char* text) {
  if (!std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (!std::isxdigit(static_cast<unsigned char>(*c)) && *c != 'x' && *c != 'X' && *c != '.') return false;
  }
  return true;
}

}  // namespace options
