// Feeds arbitrary argument vectors to the option parser: the input is split
// on NUL bytes into arguments (argument 0 first), parsed against the
// program's table and against a table with every row type, and the results
// are checked for consistency.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "options/option_parser.h"
#include "options/value_conversion.h"
#include "platform/net.h"
#include "program/settings.h"

namespace {

constexpr std::size_t kMaxArguments = 64;

const OptionSpec kEveryRowType[] = {
    {"fz", nullptr, "every row type", nullptr, 0, OPT_HEADER},
    {"v", "verbose", "a switch", nullptr, 0, OPT_SWITCH},
    {"r", "ratio", "a real", "0.5", OPT_POSITIONAL, OPT_REAL},
    {"s", nullptr, "a string with only a short name", nullptr, OPT_POSITIONAL, OPT_STRING},
    {nullptr, "name", "a required string with only a long name", nullptr, OPT_REQUIRED, OPT_STRING},
    {"i", "int", "an integer", "-1", 0, OPT_INTEGER},
    {"a", "addr", "an address", "127.1", OPT_POSITIONAL, OPT_ADDRESS},
    {"v", "again", "a second switch whose short name is taken", nullptr, 0, OPT_SWITCH},
    {nullptr, nullptr, nullptr, nullptr, 0, OPT_END},
};

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

bool is_argument(const std::vector<std::string>& arguments, const char* text) {
  for (std::size_t index = 1; index < arguments.size(); ++index) {
    if (arguments[index] == text) return true;
  }
  return false;
}

std::FILE* null_stream() {
  static std::FILE* const stream = std::fopen("/dev/null", "w");
  return stream;
}

// What holds after any parse, whatever the table.
void check_common(const OptionParser& parser) {
  const std::size_t error_length = std::strlen(parser.error());
  check(error_length <= OptionParser::kErrorBufferSize - 1, "error longer than its buffer");
  check(parser.ok() ? error_length == 0 : error_length > 0, "error text present exactly on failure");
  const OptionValue& unknown = parser.value_of("no such option");
  check(!unknown.given && unknown.as_address() == 0 && unknown.as_text() == nullptr,
        "unknown name has a value");
  if (!parser.ok()) {
    check(!parser.value_of("v").given && parser.value_of("t").as_address() == 0,
          "failed parse hands out values");
  }
  parser.write_usage(null_stream());
}

void check_program_table(const OptionParser& parser, const std::vector<std::string>& arguments) {
  if (!parser.ok()) return;
  check(&parser.value_of("t") == &parser.value_of("target"), "short and long name differ");
  const bool answered_alone = parser.value_of("h").given || parser.value_of("V").given;
  check(parser.value_of("t").given || answered_alone, "required target missing without -h or -V");
  check(parser.value_of("t").as_address() != options::kInvalidAddress, "invalid address accepted");
  const char* log_path = parser.value_of("f").as_text();
  check(log_path != nullptr, "log path missing");
  check(parser.value_of("f").given ? is_argument(arguments, log_path)
                                   : std::strcmp(log_path, "qorvand.log") == 0,
        "log path neither given nor the default");
  if (!parser.value_of("p").given) check(parser.value_of("p").as_integer() == 25, "target port default");
  if (!parser.value_of("l").given) check(parser.value_of("l").as_integer() == 25, "listen port default");
}

void check_every_row_type(const OptionParser& parser, const std::vector<std::string>& arguments) {
  if (!parser.ok()) return;
  const OptionValue& verbose = parser.value_of("v");
  check(&verbose == &parser.value_of("verbose"), "first row with a name wins");
  check(verbose.given == verbose.as_switch(), "switch value follows given");
  const char* name = parser.value_of("name").as_text();
  check(name != nullptr && is_argument(arguments, name), "required string not from the command line");
  const OptionValue& short_string = parser.value_of("s");
  check(
      short_string.given ? is_argument(arguments, short_string.as_text()) : short_string.as_text() == nullptr,
      "string without default");
  if (!parser.value_of("ratio").given) check(parser.value_of("r").as_real() == 0.5, "real default");
  if (!parser.value_of("int").given) check(parser.value_of("i").as_integer() == -1, "integer default");
  if (!parser.value_of("addr").given)
    check(parser.value_of("a").as_address() == 0x7F000001, "address default");
}

// Within the range of long, the integer scan agrees with the C library.
void check_integer_scan(const std::string& text) {
  std::int32_t value = 0;
  const bool scanned = options::scan_integer(text.c_str(), &value);
  errno = 0;
  char* end = nullptr;
  const long expected = std::strtol(text.c_str(), &end, 0);
  if (errno == ERANGE) return;
  check(scanned == (end != text.c_str()), "integer accepted differently from strtol");
  if (scanned)
    check(value == static_cast<std::int32_t>(static_cast<std::uint32_t>(expected)), "integer value");
}

// An accepted address reads back the same from its dotted decimal form.
void check_address_round_trip(const std::string& text) {
  const std::uint32_t address = options::dotted_address(text.c_str());
  if (address == options::kInvalidAddress) return;
  const platform::AddressText rendered = platform::address_text(platform::Endpoint::ipv4(address, 0));
  check(options::dotted_address(rendered.text) == address, "address does not read back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments(1);
  for (std::size_t index = 0; index < size && arguments.size() <= kMaxArguments; ++index) {
    if (data[index] == 0) {
      arguments.emplace_back();
    } else {
      arguments.back().push_back(static_cast<char>(data[index]));
    }
  }
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  const int argc = static_cast<int>(argv.size());

  const OptionParser program(kProgramOptions, argc, argv.data());
  check_common(program);
  check_program_table(program, arguments);

  const OptionParser every_type(kEveryRowType, argc, argv.data());
  check_common(every_type);
  check_every_row_type(every_type, arguments);

  for (const std::string& argument : arguments) {
    check_integer_scan(argument);
    check_address_round_trip(argument);
  }
  return 0;
}
