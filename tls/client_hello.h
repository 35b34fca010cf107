// Whether the bytes a client sends at a read boundary are a TLS ClientHello:
// handshake records (type 22, version 3.1 to 3.4, a length of at most 16 KiB
// and 256) that hold exactly one ClientHello message, whose every length
// fits the structure that encloses it. The hello may be cut into several
// records and arrive in any number of reads: the bytes seen so far either
// contradict a ClientHello, or are a whole one, or may still become one.
#pragma once

#include <cstddef>

namespace tls {

enum class HelloVerdict {
  kIncomplete,      // every byte fits a ClientHello so far; more are needed
  kNotClientHello,  // a byte contradicts one: these are no TLS to intercept
  kClientHello,     // the records of a whole ClientHello, nothing beyond
};

struct HelloInspection {
  HelloVerdict verdict = HelloVerdict::kIncomplete;
  // kClientHello: the bytes its records take (bytes behind them are the
  // client's next ones). kIncomplete: the least count that could complete it.
  std::size_t length = 0;
};

// A record's length may be at most this: 2^14 bytes and 256 more.
inline constexpr std::size_t kMaxHelloRecordLength = 16384 + 256;
// A hello longer than this is not held back (none in use comes near it).
inline constexpr std::size_t kMaxHelloLength = 64 * 1024;

HelloInspection inspect_client_hello(const unsigned char* data, std::size_t n);

}  // namespace tls
