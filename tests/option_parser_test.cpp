#include "options/option_parser.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "options/value_conversion.h"
#include "platform/net.h"
#include "program/settings.h"

namespace {

// Which rows of the program's table the command line supplied.
// The switches' rows are given exactly when they are on.
enum GivenRow : unsigned {
  kTarget = 1,
  kTargetPort = 2,
  kListenPort = 4,
  kLogFile = 8,
  kBind = 16,
  kAnnotate = 32,
  kHex = 64,
  kHelp = 128,
  kVersion = 256,
};

struct ParseCase {
  std::vector<const char*> arguments;  // behind argument 0
  const char* error;                   // nullptr: the parse succeeds
  std::uint32_t target = 0;
  std::int32_t target_port = 0;
  std::int32_t listen_port = 0;
  const char* log_path = nullptr;
  unsigned given = 0;
  // An IPv6 address or a host name: the first address it stands for, and
  // the same for the listening address.
  const char* target_resolved = nullptr;
  const char* bind_resolved = nullptr;
};

std::string describe(const std::vector<const char*>& arguments) {
  std::string text;
  for (const char* argument : arguments) text += std::string("[") + argument + "] ";
  return text;
}

// The command line read as the program reads it: names resolved on the way.
OptionParser parse_program_line(const std::vector<const char*>& arguments, const char* program = "prog",
                                ResolvedNames* resolved = nullptr) {
  static ResolvedNames unused;
  std::vector<const char*> argv{program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return OptionParser(kProgramOptions, static_cast<int>(argv.size()), argv.data(), resolve_address,
                      resolved != nullptr ? resolved : &unused);
}

std::string first_address(const ResolvedNames& resolved, const char* text) {
  const auto found = resolved.find(text);
  return found == resolved.end() ? "(not resolved)" : platform::address_text(found->second.front()).text;
}

std::string usage_text(const OptionParser& parser) {
  std::FILE* file = std::tmpfile();
  EXPECT_NE(file, nullptr);
  if (file == nullptr) return {};
  parser.write_usage(file);
  std::rewind(file);
  std::string text;
  char chunk[256];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, got);
  std::fclose(file);
  return text;
}

bool is_empty_value(const OptionValue& value) {
  static const unsigned char kZero[8] = {};
  return !value.given && std::memcmp(value.value, kZero, sizeof kZero) == 0;
}

const std::string kProgramUsageBody =
    "\nUsage:\n"
    "    -t --target:\tremote IP address to connect to\n"
    "    -p --target-port:\tremote port to connect to\n"
    "    -l --listen-port:\tlocal port to listen on\n"
    "    -f --logfile:\tpath of output log file\n"
    "    -b --bind:\tlocal address to listen on\n"
    "    -a --annotate:\tprefix lines with time and connection number\n"
    "    -x --hex:\tlog traffic as hex dump rows\n"
    "    -w --pcap:\tpath of a pcapng capture of the traffic\n"
    "    -h --help:\tshow this text and exit\n"
    "    -V --version:\tshow the version and exit\n"
#if defined(QORVAND_HAS_TLS)
    "    -s --tls:\tintercept TLS and log its plaintext\n"
    "    -c --cert:\tcertificate and key shown to clients (PEM)\n"
    "    --verify:\tend connections to unverified servers\n"
    "    --keylog:\tappend TLS secrets to this file\n"
#endif
    "\n";

}  // namespace

TEST(OptionParser, ProgramCommandLines) {
  const ParseCase cases[] = {
      {{"10.1.2.3"}, nullptr, 0x0A010203, 25, 25, "qorvand.log", kTarget},
      {{"10.1.2.3", "2525", "26"},
       nullptr,
       0x0A010203,
       2525,
       26,
       "qorvand.log",
       kTarget | kTargetPort | kListenPort},
      {{"-t", "10.1.2.3", "-p", "0x19", "-l", "010"},
       nullptr,
       0x0A010203,
       25,
       8,
       "qorvand.log",
       kTarget | kTargetPort | kListenPort},
      {{"--target", "10.1.2.3", "--logfile", "-"}, nullptr, 0x0A010203, 25, 25, "-", kTarget | kLogFile},
      {{"-t", "1.2.3.4", "--listen-port", "2526", "--target-port", "587"},
       nullptr,
       0x01020304,
       587,
       2526,
       "qorvand.log",
       kTarget | kTargetPort | kListenPort},
      {{"10.1.2.3", "25abc"}, nullptr, 0x0A010203, 25, 25, "qorvand.log", kTarget | kTargetPort},
      // A bare argument behind -t fills the next positional row, read as an integer.
      {{"-t", "10.1.2.3", "10.9.9.9"}, nullptr, 0x0A010203, 10, 25, "qorvand.log", kTarget | kTargetPort},
      {{"/t", "10.1.2.3"}, nullptr, 0x0A010203, 25, 25, "qorvand.log", kTarget},
      {{"-t", "1.2.3.4", "-t", "5.6.7.8"}, nullptr, 0x05060708, 25, 25, "qorvand.log", kTarget},
      {{"1.2.3.4", "-t", "5.6.7.8"}, nullptr, 0x05060708, 25, 25, "qorvand.log", kTarget},
      {{"1.2.3.4", "2", "-p", "3"}, nullptr, 0x01020304, 3, 25, "qorvand.log", kTarget | kTargetPort},
      // An option given first takes its row out of the positional order.
      {{"-p", "7", "10.1.2.3", "8"},
       nullptr,
       0x0A010203,
       7,
       8,
       "qorvand.log",
       kTarget | kTargetPort | kListenPort},
      {{"-p", "-1", "-l", "-1", "10.0.0.5"},
       nullptr,
       0x0A000005,
       -1,
       -1,
       "qorvand.log",
       kTarget | kTargetPort | kListenPort},
      {{"-p", "4294967297", "-l", "-2", "1.2.3.4"},
       nullptr,
       0x01020304,
       1,
       -2,
       "qorvand.log",
       kTarget | kTargetPort | kListenPort},
      // Option values are taken unchanged, even when they look like options.
      {{"-f", "-t", "1.2.3.4"}, nullptr, 0x01020304, 25, 25, "-t", kTarget | kLogFile},
      {{"/f", "/var/log/q.log", "127.1"}, nullptr, 0x7F000001, 25, 25, "/var/log/q.log", kTarget | kLogFile},
      {{"-t", "1.2.3.4 "}, nullptr, 0x01020304, 25, 25, "qorvand.log", kTarget},
      {{"-f", "", "1.2.3.4"}, nullptr, 0x01020304, 25, 25, "", kTarget | kLogFile},
      // IPv6 addresses and host names; every dotted form above keeps its meaning.
      {{"::1"}, nullptr, 0, 25, 25, "qorvand.log", kTarget, "[::1]"},
      {{"-t", "[::1]", "2525"}, nullptr, 0, 2525, 25, "qorvand.log", kTarget | kTargetPort, "[::1]"},
      {{"--target", "2001:db8::25"}, nullptr, 0, 25, 25, "qorvand.log", kTarget, "[2001:db8::25]"},
      {{"localhost", "8025", "2525"},
       nullptr,
       0,
       8025,
       2525,
       "qorvand.log",
       kTarget | kTargetPort | kListenPort,
       "127.0.0.1"},
      {{"-b", "::", "1.2.3.4"}, nullptr, 0x01020304, 25, 25, "qorvand.log", kTarget | kBind, nullptr, "[::]"},
      {{"--bind", "[::1]", "::1"}, nullptr, 0, 25, 25, "qorvand.log", kTarget | kBind, "[::1]", "[::1]"},
      // The switches take no value: a bare argument behind one is positional.
      {{"-a", "10.1.2.3", "2525"},
       nullptr,
       0x0A010203,
       2525,
       25,
       "qorvand.log",
       kTarget | kTargetPort | kAnnotate},
      {{"10.1.2.3", "--hex"}, nullptr, 0x0A010203, 25, 25, "qorvand.log", kTarget | kHex},
      {{"-x", "--annotate", "/a", "10.1.2.3"},
       nullptr,
       0x0A010203,
       25,
       25,
       "qorvand.log",
       kTarget | kAnnotate | kHex},
      // -h and -V need no target; the rest of the line is read as without them.
      {{"-h"}, nullptr, 0, 25, 25, "qorvand.log", kHelp},
      {{"--help", "10.0.0.5", "2525"},
       nullptr,
       0x0A000005,
       2525,
       25,
       "qorvand.log",
       kTarget | kTargetPort | kHelp},
      {{"-V"}, nullptr, 0, 25, 25, "qorvand.log", kVersion},
      {{"-p", "26", "--version", "-f", "x.log"},
       nullptr,
       0,
       26,
       25,
       "x.log",
       kTargetPort | kLogFile | kVersion},
      {{"/V", "-h"}, nullptr, 0, 25, 25, "qorvand.log", kHelp | kVersion},

      {{}, "Missing required parameter --target"},
      {{"-p", "26", "-f", "x.log"}, "Missing required parameter --target"},
      {{"10.1.2.3", "1", "2", "3"}, "Too many parameters"},
      {{"-l", "9", "1.2.3.4", "5", "6"}, "Too many parameters"},
      {{"-z"}, "Unknown option -z"},
      {{"-a"}, "Missing required parameter --target"},
      // A line that does not parse is refused, -h or -V or not.
      {{"-h", "-z"}, "Unknown option -z"},
      {{"--version", "10.1.2.3", "1", "2", "3"}, "Too many parameters"},
      {{"-h", "--target"}, "Missing parameter to --target option"},
      {{"-V", "999.1.1.1"}, "Invalid IP address parameter 999.1.1.1"},
      {{"-v"}, "Unknown option -v"},
      {{"-hV"}, "Unknown option -hV"},
      {{"--Help"}, "Unknown option --Help"},
      {{"-ax", "10.1.2.3"}, "Unknown option -ax"},
      {{"--t", "1.2.3.4"}, "Unknown option --t"},
      {{"-target", "1.2.3.4"}, "Unknown option -target"},
      {{"-T", "1.2.3.4"}, "Unknown option -T"},
      {{"--target=10.1.2.3"}, "Unknown option --target=10.1.2.3"},
      {{"-tp"}, "Unknown option -tp"},
      {{"-t10.1.2.3"}, "Unknown option -t10.1.2.3"},
      {{"-"}, "Unknown option -"},
      {{"--"}, "Unknown option --"},
      {{"10.1.2.3", "-1"}, "Unknown option -1"},
      // The first failure ends the parse.
      {{"10.1.2.3", "-z", "--target"}, "Unknown option -z"},
      {{"--target"}, "Missing parameter to --target option"},
      {{"10.1.2.3", "-p"}, "Missing parameter to -p option"},
      {{"1.2.3.4", "--logfile"}, "Missing parameter to --logfile option"},
      {{"-t", "999.1.1.1"}, "Invalid IP address parameter 999.1.1.1"},
      {{"255.255.255.255"}, "Invalid IP address parameter 255.255.255.255"},
      {{""}, "Invalid IP address parameter "},
      {{"10.1.2.3", "abc"}, "Invalid integer parameter abc"},
      {{"10.1.2.3", ""}, "Invalid integer parameter "},
      {{"-p", "abc", "1.2.3.4"}, "Invalid integer parameter abc"},
      {{"no.such.host.invalid"}, "Invalid IP address parameter no.such.host.invalid"},
      {{"::1::2"}, "Invalid IP address parameter ::1::2"},
      {{"[::1"}, "Invalid IP address parameter [::1"},
      {{"-b", "999.1.1.1", "1.2.3.4"}, "Invalid IP address parameter 999.1.1.1"},
      {{"-b", "1.2.3.4"}, "Missing required parameter --target"},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(describe(c.arguments));
    ResolvedNames resolved;
    const OptionParser parser = parse_program_line(c.arguments, "prog", &resolved);
    if (c.error != nullptr) {
      ASSERT_FALSE(parser.ok());
      EXPECT_STREQ(parser.error(), c.error);
      EXPECT_TRUE(is_empty_value(parser.value_of("t")));
      EXPECT_TRUE(is_empty_value(parser.value_of("target-port")));
      continue;
    }
    ASSERT_TRUE(parser.ok()) << parser.error();
    EXPECT_STREQ(parser.error(), "");
    EXPECT_EQ(parser.value_of("t").as_address(), c.target);
    EXPECT_EQ(parser.value_of("p").as_integer(), c.target_port);
    EXPECT_EQ(parser.value_of("l").as_integer(), c.listen_port);
    ASSERT_NE(parser.value_of("f").as_text(), nullptr);
    EXPECT_STREQ(parser.value_of("f").as_text(), c.log_path);
    EXPECT_EQ(parser.value_of("t").given, (c.given & kTarget) != 0);
    EXPECT_EQ(parser.value_of("p").given, (c.given & kTargetPort) != 0);
    EXPECT_EQ(parser.value_of("l").given, (c.given & kListenPort) != 0);
    EXPECT_EQ(parser.value_of("f").given, (c.given & kLogFile) != 0);
    EXPECT_EQ(parser.value_of("b").given, (c.given & kBind) != 0);
    EXPECT_EQ(parser.value_of("a").as_switch(), (c.given & kAnnotate) != 0);
    EXPECT_EQ(parser.value_of("hex").as_switch(), (c.given & kHex) != 0);
    EXPECT_EQ(parser.value_of("help").as_switch(), (c.given & kHelp) != 0);
    EXPECT_EQ(parser.value_of("V").as_switch(), (c.given & kVersion) != 0);
    if (c.target_resolved != nullptr) {
      EXPECT_EQ(first_address(resolved, parser.text_of("t")), c.target_resolved);
    }
    if (c.bind_resolved != nullptr) {
      EXPECT_EQ(first_address(resolved, parser.text_of("b")), c.bind_resolved);
    } else {
      EXPECT_EQ(parser.value_of("b").as_address(), 0u);
    }
    // Long names reach the same slots; names that match no option row do not.
    EXPECT_EQ(&parser.value_of("target"), &parser.value_of("t"));
    EXPECT_EQ(&parser.value_of("target-port"), &parser.value_of("p"));
    EXPECT_EQ(&parser.value_of("listen-port"), &parser.value_of("l"));
    EXPECT_EQ(&parser.value_of("logfile"), &parser.value_of("f"));
    EXPECT_TRUE(is_empty_value(parser.value_of("qorvand")));
    EXPECT_TRUE(is_empty_value(parser.value_of("")));
    EXPECT_TRUE(is_empty_value(parser.value_of("z")));
  }
}

TEST(OptionParser, UsageTextNamesTheProgram) {
  EXPECT_EQ(usage_text(parse_program_line({})),
            "prog: TCP connection logger\nMissing required parameter --target\n" + kProgramUsageBody);
  // An empty program name falls back to the header's short name.
  EXPECT_EQ(usage_text(parse_program_line({}, "")),
            "qorvand: TCP connection logger\nMissing required parameter --target\n" + kProgramUsageBody);
  const OptionParser without_arguments(kProgramOptions, 0, nullptr);
  EXPECT_FALSE(without_arguments.ok());
  EXPECT_EQ(usage_text(without_arguments),
            "qorvand: TCP connection logger\nMissing required parameter --target\n" + kProgramUsageBody);
  // A successful parse has no error line.
  EXPECT_EQ(usage_text(parse_program_line({"1.2.3.4"})), "prog: TCP connection logger\n" + kProgramUsageBody);

  // A message longer than the 512-byte error buffer is cut to 511 characters.
  const std::string long_name = "--" + std::string(700, 'y');
  const std::string cut = ("Unknown option " + long_name).substr(0, 511);
  EXPECT_EQ(parse_program_line({long_name.c_str()}).error(), cut);
  EXPECT_EQ(usage_text(parse_program_line({long_name.c_str()})),
            "prog: TCP connection logger\n" + cut + "\n" + kProgramUsageBody);
}

namespace {

// No header; a switch, a positional real with a default, a required row with
// only a short name, a row with only a long name, and a row with no name.
const OptionSpec kOwnOptions[] = {
    {"v", "verbose", "be chatty", nullptr, 0, OPT_SWITCH},
    {"r", "ratio", "a ratio", "1.5", OPT_POSITIONAL, OPT_REAL},
    {"n", nullptr, "a name", nullptr, OPT_REQUIRED, OPT_STRING},
    {nullptr, "comment", "a comment", nullptr, 0, OPT_STRING},
    {nullptr, nullptr, "unreachable", "7", 0, OPT_INTEGER},
    {nullptr, nullptr, nullptr, nullptr, 0, OPT_END},
};

const OptionSpec kBadDefault[] = {
    {"me", nullptr, "a program", nullptr, 0, OPT_HEADER},
    {"s", "size", "a size", "12", 0, OPT_INTEGER},
    {"c", "count", "a count", "lots", 0, OPT_INTEGER},
    {nullptr, nullptr, nullptr, nullptr, 0, OPT_END},
};

const OptionSpec kNoRows[] = {{nullptr, nullptr, nullptr, nullptr, 0, OPT_END}};

OptionParser parse_own_line(const OptionSpec* table, std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "own");
  return OptionParser(table, static_cast<int>(arguments.size()), arguments.data());
}

}  // namespace

TEST(OptionParser, SwitchRealAndNamelessRows) {
  struct OwnCase {
    std::vector<const char*> arguments;
    const char* error;
    bool verbose = false;
    double ratio = 0;
    bool ratio_given = false;
  };
  const OwnCase cases[] = {
      {{"-n", "a"}, nullptr, false, 1.5, false},
      {{"-n", "a", "-v"}, nullptr, true, 1.5, false},
      {{"--verbose", "2.5", "-n", "a"}, nullptr, true, 2.5, true},
      {{"-n", "a", "-1e3"}, "Unknown option -1e3"},
      {{"-r", "-1e3", "-n", "a"}, nullptr, false, -1000, true},
      {{"-n", "a", ".5"}, nullptr, false, 0.5, true},
      {{"-n", "a", "abc"}, "Invalid numeric parameter abc"},
      {{"-n", "a", "1", "2"}, "Too many parameters"},
      {{"-v"}, "Missing required parameter -n"},
      {{"--comment", "c"}, "Missing required parameter -n"},
      {{"-comment", "c"}, "Unknown option -comment"},
      {{"--n", "a"}, "Unknown option --n"},
  };
  for (const OwnCase& c : cases) {
    SCOPED_TRACE(describe(c.arguments));
    const OptionParser parser = parse_own_line(kOwnOptions, c.arguments);
    if (c.error != nullptr) {
      ASSERT_FALSE(parser.ok());
      EXPECT_STREQ(parser.error(), c.error);
      continue;
    }
    ASSERT_TRUE(parser.ok()) << parser.error();
    EXPECT_EQ(parser.value_of("v").as_switch(), c.verbose);
    EXPECT_EQ(parser.value_of("verbose").given, c.verbose);
    EXPECT_DOUBLE_EQ(parser.value_of("ratio").as_real(), c.ratio);
    EXPECT_EQ(parser.value_of("r").given, c.ratio_given);
    EXPECT_STREQ(parser.value_of("n").as_text(), "a");
    EXPECT_EQ(parser.value_of("comment").as_text(), nullptr);
  }
  EXPECT_EQ(usage_text(parse_own_line(kOwnOptions, {})),
            "Missing required parameter -n\n\nUsage:\n"
            "    -v --verbose:\tbe chatty\n"
            "    -r --ratio:\ta ratio\n"
            "    -n:\ta name\n"
            "    --comment:\ta comment\n"
            "\n");
}

TEST(OptionParser, DefaultThatDoesNotConvertIsAnInternalError) {
  const OptionParser parser = parse_own_line(kBadDefault, {"-s", "3"});
  EXPECT_FALSE(parser.ok());
  EXPECT_STREQ(parser.error(), "Internal command line processing error (2)");
  EXPECT_TRUE(is_empty_value(parser.value_of("s")));
}

TEST(OptionParser, TableWithoutRowsParsesNothing) {
  const OptionParser parser = parse_own_line(kNoRows, {"anything"});
  EXPECT_FALSE(parser.ok());
  EXPECT_STREQ(parser.error(), "");
  EXPECT_EQ(usage_text(parser), "\nUsage:\n\n");
}

// Out of the 32-bit range the C libraries part ways: glibc wraps up to the
// range of long, the Windows runtime saturates at 32 bits.
bool libc_keeps_value(const char* text) {
#ifdef _WIN32
  errno = 0;
  const long long value = std::strtoll(text, nullptr, 0);
  return errno != ERANGE && value >= INT32_MIN && value <= INT32_MAX;
#else
  (void)text;
  return true;
#endif
}

TEST(ValueConversion, IntegersInCNotation) {
  struct IntegerCase {
    const char* text;
    bool ok;
    std::int32_t value;
    bool libc_agrees;  // glibc saturates values beyond the range of long
  };
  const IntegerCase cases[] = {
      {"0x19", true, 25, true},
      {"0X1a", true, 26, true},
      {"+0x1A", true, 26, true},
      {"010", true, 8, true},
      {"08", true, 0, true},  // octal stops at 8
      {"25abc", true, 25, true},
      {"10.9.9.9", true, 10, true},
      {"-1", true, -1, true},
      {"-0", true, 0, true},
      {" 7", true, 7, true},
      {"\t\n-8", true, -8, true},
      {"0x", true, 0, true},  // the 0 is read, the x ends the number
      {"0xg", true, 0, true},
      {"-0x10", true, -16, true},
      {"2147483648", true, INT32_MIN, true},
      {"-2147483649", true, INT32_MAX, true},
      {"4294967297", true, 1, true},
      {"0xFFFFFFFF", true, -1, true},
      {"037777777777", true, -1, true},
      {"9223372036854775807", true, -1, true},
      {"18446744073709551617", true, 1, false},
      {"-18446744073709551617", true, -1, false},
      {"", false, 0, true},
      {"   ", false, 0, true},
      {"abc", false, 0, true},
      {"-", false, 0, true},
      {"+", false, 0, true},
      {"- 1", false, 0, true},
      {"x1", false, 0, true},
  };
  for (const IntegerCase& c : cases) {
    SCOPED_TRACE(std::string("[") + c.text + "]");
    std::int32_t value = 12345;
    ASSERT_EQ(options::scan_integer(c.text, &value), c.ok);
    if (c.ok) {
      EXPECT_EQ(value, c.value);
    }
    if (!c.libc_agrees || !libc_keeps_value(c.text)) continue;
    int libc_value = 0;
    const int converted = std::sscanf(c.text, "%i", &libc_value);
    EXPECT_EQ(converted == 1, c.ok);
    if (c.ok) {
      EXPECT_EQ(libc_value, c.value);
    }
  }
}

TEST(ValueConversion, DottedAddresses) {
  const struct {
    const char* text;
    std::uint32_t address;
  } cases[] = {
      {"1.2.3.4", 0x01020304},
      {"127.0.0.1", 0x7F000001},
      {"127.1", 0x7F000001},
      {"0x7f.1", 0x7F000001},
      {"1.2.3", 0x01020003},
      {"1.2.65535", 0x0102FFFF},
      {"1.0xffffff", 0x01FFFFFF},
      {"3", 0x00000003},
      {"0", 0x00000000},
      {"4294967294", 0xFFFFFFFE},
      {"010.1.1.1", 0x08010101},
      {"01.02.03.04", 0x01020304},
      {"0377.0377.0377.0376", 0xFFFFFFFE},
      {"1.2.3.4 ", 0x01020304},
      {"1.2.3.4\t", 0x01020304},
      {"1.2.3.4 rest", 0x01020304},  // white space ends the address
      {"255.255.255.255", options::kInvalidAddress},
      {"0xff.0xff.0xff.0xff", options::kInvalidAddress},
      {"4294967295", options::kInvalidAddress},
      {"4294967296", options::kInvalidAddress},
      {"99999999999999999999", options::kInvalidAddress},
      {"18446744073709551617", options::kInvalidAddress},  // 2^64 + 1 must not wrap to 1
      {"1.2.0x10000000000000001", options::kInvalidAddress},
      {"1.2.3.4.", options::kInvalidAddress},
      {"1.2.3.4.5", options::kInvalidAddress},
      {"1.2.3.256", options::kInvalidAddress},
      {"1.2.3.0x100", options::kInvalidAddress},
      {"1.2.65536", options::kInvalidAddress},
      {"1.0x1000000", options::kInvalidAddress},
      {"256.1.1.1", options::kInvalidAddress},
      {"999.1.1.1", options::kInvalidAddress},
      {"1.2.3.4x", options::kInvalidAddress},
      {"08.1.1.1", options::kInvalidAddress},
      {"0x", options::kInvalidAddress},
      {"0x.1", options::kInvalidAddress},
      {"1..2", options::kInvalidAddress},
      {".1", options::kInvalidAddress},
      {"", options::kInvalidAddress},
      {" 1.2.3.4", options::kInvalidAddress},
      {"+1.2.3.4", options::kInvalidAddress},
      {"1.-2.3.4", options::kInvalidAddress},
      {"-1", options::kInvalidAddress},
      {"abc", options::kInvalidAddress},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("[") + c.text + "]");
    EXPECT_EQ(options::dotted_address(c.text), c.address);
  }
}
