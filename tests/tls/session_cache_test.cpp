// The server sessions kept for the next connection: one per name, copies in
// and out, and a bound that drops the name used longest ago.
#include "tls/session_cache.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using tls::SessionCache;
using tls::SslSessionOwner;

// A session told apart by its time.
SslSessionOwner session_at(long time) {
  SslSessionOwner session(SSL_SESSION_new());
  SSL_SESSION_set_time(session.get(), time);
  return session;
}

long time_kept(SessionCache& cache, const std::string& name) {
  const SslSessionOwner found = cache.find(name.c_str());
  return found != nullptr ? SSL_SESSION_get_time(found.get()) : -1;
}

TEST(SessionCacheTest, KeepsTheLastSessionOfEachNameAndDropsTheNameUsedLongestAgo) {
  SessionCache cache;
  const SslSessionOwner first = session_at(100);
  cache.keep("a.example", first.get());
  cache.keep("a.example", session_at(101).get());
  cache.keep("", session_at(200).get());  // a connection without a server name
  const SslSessionOwner found = cache.find("a.example");
  ASSERT_NE(found, nullptr);
  EXPECT_NE(found.get(), first.get());  // a copy, not the connection's own
  EXPECT_EQ(SSL_SESSION_get_time(found.get()), 101);
  EXPECT_EQ(time_kept(cache, ""), 200);
  EXPECT_EQ(time_kept(cache, "b.example"), -1);

  // Full: "a.example" was used last, so the other names go first.
  for (std::size_t i = 0; i + 2 < SessionCache::kCapacity; ++i) {
    cache.keep(("n" + std::to_string(i)).c_str(), session_at(300).get());
  }
  EXPECT_EQ(time_kept(cache, "a.example"), 101);
  cache.keep("new.example", session_at(400).get());
  EXPECT_EQ(time_kept(cache, ""), -1);
  EXPECT_EQ(time_kept(cache, "a.example"), 101);
  EXPECT_EQ(time_kept(cache, "new.example"), 400);

  cache.forget("a.example");
  EXPECT_EQ(time_kept(cache, "a.example"), -1);
}

}  // namespace
