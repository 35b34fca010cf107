// A small table-driven command-line parser: short, long and positional
// options with typed values, defaults, required rows, one kept error message
// and a usage text built from the table.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum OptionType : int {
  OPT_HEADER = 0,   // the program's name and description, not an option
  OPT_SWITCH = 1,   // no argument; first byte of the value set to 1 when given
  OPT_STRING = 2,   // text argument
  OPT_INTEGER = 3,  // integer argument in C notation (decimal, 0x hex, 0 octal)
  OPT_REAL = 4,     // floating argument
  OPT_ADDRESS = 5,  // IPv4 address (kept in host byte order), or what the address check accepts
  OPT_END = 6,      // end of the table
};

enum OptionFlags : unsigned {
  OPT_REQUIRED = 1,    // must be given or have a default
  OPT_POSITIONAL = 2,  // a bare argument may fill the row
  OPT_STANDALONE = 4,  // a switch that asks for an answer of its own (help, version):
                       // when given, required rows may be missing
};

struct OptionSpec {
  const char* short_name;
  const char* long_name;
  const char* help;
  const char* default_text;
  unsigned flags;
  OptionType type;
};

// One value slot: 8 bytes read as the row's type says.
struct OptionValue {
  bool given = false;
  unsigned char value[8] = {};

  bool as_switch() const { return value[0] != 0; }
  std::int32_t as_integer() const;
  double as_real() const;
  std::uint32_t as_address() const;
  // The text of an OPT_STRING row (owned by the parser), or nullptr.
  const char* as_text() const;
};

// Decides whether an OPT_ADDRESS text that is not a dotted IPv4 address
// names an address all the same (an IPv6 address, a host name).
using AddressCheck = bool (*)(const char* text, void* context);

class OptionParser {
 public:
  // Without an address check, OPT_ADDRESS rows take dotted IPv4 addresses only.
  OptionParser(const OptionSpec* table, int argc, const char* const* argv, AddressCheck check = nullptr,
               void* check_context = nullptr);
  OptionParser(const OptionParser&) = delete;
  OptionParser& operator=(const OptionParser&) = delete;

  bool ok() const { return ok_; }
  // The value of the first option row named so, or an empty value when no
  // row matches or parsing failed.
  const OptionValue& value_of(const char* name) const;
  // The text an OPT_STRING or OPT_ADDRESS row's value was read from, or
  // nullptr (no such row, or parsing failed).
  const char* text_of(const char* name) const;
  // The kept error message, or an empty text.
  const char* error() const { return has_error_ ? error_.c_str() : ""; }
  // The usage text, to standard error (or to the given stream).
  void print_usage() const;
  void write_usage(std::FILE* stream) const;

  static constexpr std::size_t kErrorBufferSize = 512;

 private:
  static constexpr unsigned kShortNames = 1;
  static constexpr unsigned kLongNames = 2;

  bool parse();
  bool parse_option(int* index);
  bool parse_positional(const std::string& argument);
  bool apply_defaults();
  bool standalone_switch_given() const;
  int find_option(const char* name, unsigned which) const;
  bool assign(int row, const std::string& text);
  void set_error(const char* format, ...) __attribute__((format(printf, 2, 3)));
  static bool is_option_row(const OptionSpec& row);

  std::vector<std::string> arguments_;
  const OptionSpec* table_;
  int count_ = 0;
  int header_ = -1;
  std::vector<OptionValue> values_;
  std::vector<std::string> texts_;  // owned text of OPT_STRING and OPT_ADDRESS rows
  AddressCheck check_ = nullptr;
  void* check_context_ = nullptr;
  OptionValue empty_;
  bool ok_ = false;
  bool has_error_ = false;
  std::string error_;
};
