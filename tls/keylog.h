// --keylog FILE: the secrets of every TLS session qorvand takes part in, in
// the NSS key log format (what SSLKEYLOGFILE writes), so that a capture of
// either leg can be decrypted (Wireshark).
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/file.h"

// OpenSSL's own declaration, so that the layers above can hold a key log
// without including OpenSSL's headers.
typedef struct ssl_ctx_st SSL_CTX;

namespace tls {

// Thread-safe: the sessions of every event loop write to it at once.
class KeyLog {
 public:
  // Opens the file for appending (a new one for its owner alone). Empty with
  // *error set (a sentence for standard error) when it cannot.
  static std::unique_ptr<KeyLog> open(const std::string& path, std::string* error);
  ~KeyLog();
  KeyLog(const KeyLog&) = delete;
  KeyLog& operator=(const KeyLog&) = delete;

  // Every session of the context writes its secrets here, a line for each,
  // as OpenSSL hands them out. The key log must outlive the context.
  void install(SSL_CTX* context);

  // Appends one line and its line end in one write: whole, whatever other
  // threads (or other programs appending to the same file) write meanwhile.
  // A write that fails is said once on standard error, until one works again.
  void append(const std::string& line);

 private:
  KeyLog(std::string path, platform::FileHandle file) : path_(std::move(path)), file_(file) {}

  const std::string path_;
  const platform::FileHandle file_;
  std::mutex lock_;
  bool failing_ = false;  // under lock_
};

}  // namespace tls
