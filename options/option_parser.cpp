#include "options/option_parser.h"

#include <cstdarg>
#include <cstring>

#include "options/value_conversion.h"

namespace {

template <typename T>
T read_slot(const unsigned char (&slot)[8]) {
  T result;
  std::memcpy(&result, slot, sizeof result);
  return result;
}

template <typename T>
void write_slot(unsigned char (&slot)[8], T value) {
  static_assert(sizeof(T) <= 8);
  std::memset(slot, 0, sizeof slot);
  std::memcpy(slot, &value, sizeof value);
}

bool names_equal(const char* name, const char* wanted) {
  return name != nullptr && std::strcmp(name, wanted) == 0;
}

}  // namespace

std::int32_t OptionValue::as_integer() const {
  return read_slot<std::int32_t>(value);
}
double OptionValue::as_real() const {
  return read_slot<double>(value);
}
std::uint32_t OptionValue::as_address() const {
  return read_slot<std::uint32_t>(value);
}
const char* OptionValue::as_text() const {
  return read_slot<const char*>(value);
}

OptionParser::OptionParser(const OptionSpec* table, int argc, const char* const* argv, AddressCheck check,
                           void* check_context)
    : arguments_(argv, argv + (argc > 0 ? argc : 0)),
      table_(table),
      check_(check),
      check_context_(check_context) {
  while (table_[count_].type != OPT_END) {
    if (table_[count_].type == OPT_HEADER) header_ = count_;
    ++count_;
  }
  if (count_ == 0) return;
  values_.resize(static_cast<std::size_t>(count_));
  texts_.resize(static_cast<std::size_t>(count_));
  ok_ = parse();
}

bool OptionParser::is_option_row(const OptionSpec& row) {
  return row.type >= OPT_SWITCH && row.type <= OPT_ADDRESS;
}

const OptionValue& OptionParser::value_of(const char* name) const {
  if (!ok_ || name == nullptr) return empty_;
  const int row = find_option(name, kShortNames | kLongNames);
  return row < 0 ? empty_ : values_[static_cast<std::size_t>(row)];
}

const char* OptionParser::text_of(const char* name) const {
  if (!ok_ || name == nullptr) return nullptr;
  const int row = find_option(name, kShortNames | kLongNames);
  if (row < 0 || (table_[row].type != OPT_STRING && table_[row].type != OPT_ADDRESS)) return nullptr;
  return texts_[static_cast<std::size_t>(row)].c_str();
}

int OptionParser::find_option(const char* name, unsigned which) const {
  for (int row = 0; row < count_; ++row) {
    const OptionSpec& entry = table_[row];
    if (!is_option_row(entry)) continue;
    if ((which & kShortNames) && names_equal(entry.short_name, name)) return row;
    if ((which & kLongNames) && names_equal(entry.long_name, name)) return row;
  }
  return -1;
}

bool OptionParser::assign(int row, const std::string& text) {
  OptionValue& slot = values_[static_cast<std::size_t>(row)];
  switch (table_[row].type) {
    case OPT_STRING: {
      std::string& owned = texts_[static_cast<std::size_t>(row)];
      owned = text;
      write_slot(slot.value, owned.c_str());
      return true;
    }
    case OPT_INTEGER: {
      std::int32_t number = 0;
      if (!options::scan_integer(text.c_str(), &number)) {
        set_error("Invalid integer parameter %s", text.c_str());
        return false;
      }
      write_slot(slot.value, number);
      return true;
    }
    case OPT_REAL: {
      double number = 0;
      if (!options::scan_real(text.c_str(), &number)) {
        set_error("Invalid numeric parameter %s", text.c_str());
        return false;
      }
      write_slot(slot.value, number);
      return true;
    }
    case OPT_ADDRESS: {
      texts_[static_cast<std::size_t>(row)] = text;
      // A text in the dotted IPv4 notation is never looked up: what does not
      // convert (999.1.1.1, 255.255.255.255) is refused as it is.
      const std::uint32_t address = options::dotted_address(text.c_str());
      const bool accepted =
          address != options::kInvalidAddress ||
          (!options::looks_dotted(text.c_str()) && check_ != nullptr && check_(text.c_str(), check_context_));
      if (!accepted) {
        set_error("Invalid IP address parameter %s", text.c_str());
        return false;
      }
      write_slot(slot.value, address == options::kInvalidAddress ? 0u : address);
      return true;
    }
    default:
      return false;
  }
}

bool OptionParser::parse() {
  for (int index = 1; index < static_cast<int>(arguments_.size()); ++index) {
    const std::string& argument = arguments_[static_cast<std::size_t>(index)];
    const bool is_option = !argument.empty() && (argument[0] == '-' || argument[0] == '/');
    if (is_option ? !parse_option(&index) : !parse_positional(argument)) return false;
  }
  return apply_defaults();
}

// An option takes its value from the next argument, whatever it looks like.
bool OptionParser::parse_option(int* index) {
  const std::string& argument = arguments_[static_cast<std::size_t>(*index)];
  const bool is_long = argument.compare(0, 2, "--") == 0;
  const int row = find_option(argument.c_str() + (is_long ? 2 : 1), is_long ? kLongNames : kShortNames);
  if (row < 0) {
    set_error("Unknown option %s", argument.c_str());
    return false;
  }
  OptionValue& slot = values_[static_cast<std::size_t>(row)];
  if (table_[row].type == OPT_SWITCH) {
    slot.given = true;
    slot.value[0] = 1;
    return true;
  }
  if (*index + 1 >= static_cast<int>(arguments_.size())) {
    set_error("Missing parameter to %s option", argument.c_str());
    return false;
  }
  ++*index;
  if (!assign(row, arguments_[static_cast<std::size_t>(*index)])) return false;
  slot.given = true;
  return true;
}

bool OptionParser::parse_positional(const std::string& argument) {
  for (int row = 0; row < count_; ++row) {
    OptionValue& slot = values_[static_cast<std::size_t>(row)];
    if (!(table_[row].flags & OPT_POSITIONAL) || slot.given) continue;
    if (!assign(row, argument)) return false;
    slot.given = true;
    return true;
  }
  set_error("Too many parameters");
  return false;
}

bool OptionParser::standalone_switch_given() const {
  for (int row = 0; row < count_; ++row) {
    if ((table_[row].flags & OPT_STANDALONE) && values_[static_cast<std::size_t>(row)].given) return true;
  }
  return false;
}

bool OptionParser::apply_defaults() {
  const bool required_rows_may_be_missing = standalone_switch_given();
  for (int row = 0; row < count_; ++row) {
    const OptionSpec& entry = table_[row];
    if (values_[static_cast<std::size_t>(row)].given) continue;
    if (entry.default_text != nullptr) {
      if (!assign(row, entry.default_text)) {
        set_error("Internal command line processing error (%d)", row);
        return false;
      }
    } else if ((entry.flags & OPT_REQUIRED) && !required_rows_may_be_missing) {
      const bool has_long = entry.long_name != nullptr;
      set_error("Missing required parameter %s%s", has_long ? "--" : "-",
                has_long ? entry.long_name : (entry.short_name != nullptr ? entry.short_name : ""));
      return false;
    }
  }
  return true;
}

// The message is cut to the buffer's 511 characters; the last error wins.
void OptionParser::set_error(const char* format, ...) {
  char buffer[kErrorBufferSize];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  error_ = buffer;
  has_error_ = true;
}

void OptionParser::print_usage() const {
  write_usage(stderr);
}

void OptionParser::write_usage(std::FILE* stream) const {
  if (header_ >= 0) {
    const bool has_program_name = !arguments_.empty() && !arguments_[0].empty();
    const char* name = has_program_name ? arguments_[0].c_str() : table_[header_].short_name;
    std::fprintf(stream, "%s: %s\n", name != nullptr ? name : "", table_[header_].help);
  }
  if (has_error_) std::fprintf(stream, "%s\n", error_.c_str());
  std::fputs("\nUsage:\n", stream);
  for (int row = 0; row < count_; ++row) {
    const OptionSpec& entry = table_[row];
    if (!is_option_row(entry)) continue;
    if (entry.short_name != nullptr && entry.long_name != nullptr) {
      std::fprintf(stream, "    -%s --%s:\t%s\n", entry.short_name, entry.long_name, entry.help);
    } else if (entry.short_name != nullptr) {
      std::fprintf(stream, "    -%s:\t%s\n", entry.short_name, entry.help);
    } else if (entry.long_name != nullptr) {
      std::fprintf(stream, "    --%s:\t%s\n", entry.long_name, entry.help);
    }
  }
  std::fputs("\n", stream);
  std::fflush(stream);
}
