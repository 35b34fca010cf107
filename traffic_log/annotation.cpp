#include "traffic_log/annotation.h"

#include <algorithm>
#include <cstdio>

#include "platform/process.h"

std::size_t format_annotation(ConnectionNumber connection, std::int64_t time_us, char* buffer, std::size_t size) {
  const int length = platform::format_local_time(time_us, buffer, static_cast<int>(size));
  if (length < 0) return 0;
  const auto used = static_cast<std::size_t>(length);
  const int number = connection == 0
                         ? std::snprintf(buffer + used, size - used, " ")
                         : std::snprintf(buffer + used, size - used, " #%llu ",
                                         static_cast<unsigned long long>(connection));
  return std::min(used + static_cast<std::size_t>(std::max(number, 0)), size - 1);
}
