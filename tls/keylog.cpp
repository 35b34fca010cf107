// STAND-IN: see tls/authority.h.
#include "tls/keylog.h"

#include <cstdio>
#include <mutex>

namespace tls {
namespace {
std::mutex keylog_lock;
std::FILE* keylog_file = nullptr;
}  // namespace

std::unique_ptr<KeyLog> KeyLog::open(const std::string& path, std::string* error) {
  auto log = std::make_unique<KeyLog>();
  log->file_ = std::fopen(path.c_str(), "a");
  if (log->file_ == nullptr) {
    *error = "Can't open key log file " + path;
    return nullptr;
  }
  keylog_file = log->file_;
  return log;
}

KeyLog::~KeyLog() {
  if (file_ != nullptr) std::fclose(file_);
}

void KeyLog::install(SSL_CTX* context) {
  SSL_CTX_set_keylog_callback(context, write_line);
}

void KeyLog::write_line(const SSL*, const char* line) {
  const std::lock_guard<std::mutex> guard(keylog_lock);
  std::fprintf(keylog_file, "%s\n", line);
  std::fflush(keylog_file);
}

}  // namespace tls
