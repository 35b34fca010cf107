#include "tls/keylog.h"

#include <openssl/ssl.h>

#include <cstdio>

#include "platform/private_file.h"
#include "platform/process.h"

namespace tls {
namespace {

// Where a context keeps its key log: the callback is handed the session
// alone.
int key_log_index() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

void write_key_line(const SSL* ssl, const char* line) {
  auto* key_log = static_cast<KeyLog*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), key_log_index()));
  if (key_log != nullptr) key_log->append(line);
}

}  // namespace

std::unique_ptr<KeyLog> KeyLog::open(const std::string& path, std::string* error) {
  int code = 0;
  const platform::FileHandle file = platform::open_private_for_append(path.c_str(), &code);
  if (file == platform::kNoFile) {
    *error = "Can't open key log file " + path + ": " + platform::error_reason(code);
    return nullptr;
  }
  return std::unique_ptr<KeyLog>(new KeyLog(path, file));
}

KeyLog::~KeyLog() {
  platform::close_file(file_);
}

void KeyLog::install(SSL_CTX* context) {
  SSL_CTX_set_ex_data(context, key_log_index(), this);
  SSL_CTX_set_keylog_callback(context, write_key_line);
}

void KeyLog::append(const std::string& line) {
  const std::string whole = line + "\n";
  const std::lock_guard<std::mutex> guard(lock_);
  int code = 0;
  const bool written = platform::append_whole(file_, whole.data(), whole.size(), &code) == platform::Appended::kAll;
  if (!written && !failing_) {
    std::fprintf(stderr, "Can't write key log file %s: %s\n", path_.c_str(), platform::error_reason(code));
  }
  failing_ = !written;
}

}  // namespace tls
