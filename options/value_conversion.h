// The text-to-value conversions of the option parser, written to behave the
// same on every platform.
#pragma once

#include <cstdint>

namespace options {

// C "%i" scanning: optional leading white space and sign, then 0x/0X and hex
// digits, 0 and octal digits, or decimal digits; stops at the first character
// that is not a digit of the base. The value wraps modulo 2^32.
bool scan_integer(const char* text, std::int32_t* value);

// C "%lf" scanning: a floating value at the start of the text.
bool scan_real(const char* text, double* value);

// The classic dotted-address conversion: one to four parts, each decimal,
// octal (leading 0) or hex (0x); the last part fills the remaining bytes; white
// space may end the text. Returns the address in host byte order, or
// 0xFFFFFFFF for a text that is not an address.
std::uint32_t dotted_address(const char* text);

constexpr std::uint32_t kInvalidAddress = 0xFFFFFFFFu;

// True for a text written in the dotted notation, valid or not: it starts
// with a digit and holds only hex digits, 'x', 'X' and dots (10.5, 0x0a.0.0.5,
// 999.1.1.1). A host name always has a letter beyond those, or starts with one.
bool looks_dotted(const char* text);

}  // namespace options
