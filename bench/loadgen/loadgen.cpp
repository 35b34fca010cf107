// Load generator for the relay benchmark: the client and the sink server live
// in this one process and share one clock, so a figure is the time from the
// client's first byte to the sink's last, through whatever relay sits between.
//
//   loadgen WORKLOAD --connect PORT --sink PORT [--bytes N] [--count N]
//           [--cap SECONDS] [--hold-marks 1000,5000] [--in-flight N] [--pause]
//           [--tls --cert PEM]
//
// WORKLOAD: bulk-text, bulk-binary, ping-pong, request-response, conn-rate,
// concurrency, idle.
// The client connects to 127.0.0.1:--connect (the relay, or the sink itself
// for "direct"); the sink listens on 127.0.0.1:--sink. With --pause the
// generator stops at its measuring points, prints "PAUSE <tag>" and goes on
// after a line on standard input, so the caller can look at the relay there.
// With --tls (bulk-text, request-response, conn-rate and idle) the client
// speaks TLS without checking the certificate it is shown, and the sink
// answers TLS with the certificate and key in --cert.
// Results are one line "RESULT key=value ...".
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "sha256.h"

namespace {

// ---------------------------------------------------------------- basics

double now_seconds() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "loadgen: %s: %s\n", what, std::strerror(errno));
  std::exit(2);
}

struct Options {
  std::string workload;
  int connect_port = 0;
  int sink_port = 0;
  long long bytes = 50'000'000;
  int count = 0;
  double cap_seconds = 60;
  std::vector<int> hold_marks;
  int in_flight = 4;
  bool pause = false;
  bool tls = false;
  std::string cert;
  SSL_CTX* client_tls = nullptr;  // set with --tls: the contexts the links are made from
  SSL_CTX* sink_tls = nullptr;
};

// Stops at a measuring point until the caller says to go on.
void pause_point(const Options& options, const std::string& tag) {
  if (!options.pause) return;
  std::printf("PAUSE %s\n", tag.c_str());
  std::fflush(stdout);
  std::string line;
  std::getline(std::cin, line);
}

void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

void set_nodelay(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

int listen_on(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket");
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const sockaddr_in address = loopback(port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) die("bind sink");
  if (listen(fd, SOMAXCONN) != 0) die("listen");
  return fd;
}

// Waits for fd to become ready for events until the deadline; false on timeout.
bool wait_ready(int fd, short events, double deadline) {
  for (;;) {
    const double left = deadline - now_seconds();
    if (left <= 0) return false;
    pollfd entry{fd, events, 0};
    const int result = poll(&entry, 1, static_cast<int>(left * 1000) + 1);
    if (result > 0) return true;
    if (result < 0 && errno != EINTR) return false;
  }
}

// A connected, non-blocking, no-delay client socket, or -1 by the deadline.
int connect_client(int port, double deadline) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) die("socket");
  const sockaddr_in address = loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (!wait_ready(fd, POLLOUT, deadline) || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
      error != 0) {
    close(fd);
    return -1;
  }
  set_nodelay(fd);
  return fd;
}

int accept_one(int listener, double deadline) {
  if (!wait_ready(listener, POLLIN, deadline)) return -1;
  const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd >= 0) set_nodelay(fd);
  return fd;
}

// ---------------------------------------------------------------- links

// A connection as the workloads use it: a socket, with TLS over it when ssl
// is set.
struct Link {
  int fd = -1;
  SSL* ssl = nullptr;
  Link() = default;
  Link(int socket) : fd(socket) {}  // a plain socket is a link of its own
  bool open() const { return fd >= 0; }
};

// The event to wait for after a TLS call that did not go through, 0 when it failed.
short tls_wait(SSL* ssl, int result) {
  switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
      return POLLIN;
    case SSL_ERROR_WANT_WRITE:
      return POLLOUT;
    default:
      return 0;
  }
}

// The event a failed socket call waits for, 0 when it failed for good.
short socket_wait(short event) { return errno == EAGAIN || errno == EINTR ? event : 0; }

// One send: the bytes sent, or -1 with the event to wait for in *wait (0: failed).
ssize_t send_once(const Link& link, const char* data, std::size_t length, short* wait) {
  if (link.ssl == nullptr) {
    const ssize_t n = send(link.fd, data, length, MSG_NOSIGNAL);
    if (n < 0) *wait = socket_wait(POLLOUT);
    return n;
  }
  ERR_clear_error();
  std::size_t sent = 0;
  const int result = SSL_write_ex(link.ssl, data, length, &sent);
  if (result == 1) return static_cast<ssize_t>(sent);
  *wait = tls_wait(link.ssl, result);
  return -1;
}

// One receive: the bytes received, 0 at the end of the stream (TLS's
// close_notify, or the socket's end without it), or -1 with the event to wait
// for in *wait (0: failed).
ssize_t receive_once(const Link& link, char* buffer, std::size_t length, short* wait) {
  if (link.ssl == nullptr) {
    const ssize_t n = recv(link.fd, buffer, length, 0);
    if (n < 0) *wait = socket_wait(POLLIN);
    return n;
  }
  ERR_clear_error();
  std::size_t got = 0;
  const int result = SSL_read_ex(link.ssl, buffer, length, &got);
  if (result == 1) return static_cast<ssize_t>(got);
  if (SSL_get_error(link.ssl, result) == SSL_ERROR_ZERO_RETURN) return 0;
  *wait = tls_wait(link.ssl, result);
  return -1;
}

// Sends all of data unless the deadline passes first; returns what was sent.
long long send_all(const Link& link, const char* data, long long length, double deadline) {
  long long sent = 0;
  while (sent < length) {
    short wait = 0;
    const ssize_t n = send_once(link, data + sent, static_cast<std::size_t>(length - sent), &wait);
    if (n > 0) {
      sent += n;
    } else if (wait == 0 || !wait_ready(link.fd, wait, deadline)) {
      break;
    }
  }
  return sent;
}

// Receives what is there, waiting for it until the deadline: the bytes
// received, 0 at the end of the stream, on a failure or at the deadline.
long long receive_some(const Link& link, char* buffer, long long length, double deadline) {
  for (;;) {
    short wait = 0;
    const ssize_t n = receive_once(link, buffer, static_cast<std::size_t>(length), &wait);
    if (n >= 0) return n;
    if (wait == 0 || !wait_ready(link.fd, wait, deadline)) return 0;
  }
}

// Receives exactly length bytes unless the peer ends or the deadline passes.
long long receive_exactly(const Link& link, char* buffer, long long length, double deadline) {
  long long got = 0;
  while (got < length) {
    const long long n = receive_some(link, buffer + got, length - got, deadline);
    if (n == 0) break;
    got += n;
  }
  return got;
}

// Reads until the peer closes or the deadline passes (a clean end of a connection).
void drain_until_close(const Link& link, double deadline) {
  char scrap[4096];
  while (receive_some(link, scrap, sizeof scrap, deadline) > 0) {
  }
}

// One step of a TLS handshake: true once it is done, else false with the
// event to wait for in *wait (0: it failed).
bool handshake_step(const Link& link, short* wait) {
  ERR_clear_error();
  const int result = SSL_do_handshake(link.ssl);
  if (result == 1) return true;
  *wait = tls_wait(link.ssl, result);
  return false;
}

bool handshake(const Link& link, double deadline) {
  short wait = 0;
  while (!handshake_step(link, &wait)) {
    if (wait == 0 || !wait_ready(link.fd, wait, deadline)) return false;
  }
  return true;
}

// A link over fd: the socket alone without a TLS context, else TLS in the
// client's or the server's part, its handshake not yet made.
Link link_over(int fd, SSL_CTX* tls, bool as_client) {
  Link link(fd);
  if (tls == nullptr || fd < 0) return link;
  link.ssl = SSL_new(tls);
  SSL_set_fd(link.ssl, fd);
  if (as_client) {
    SSL_set_connect_state(link.ssl);
  } else {
    SSL_set_accept_state(link.ssl);
  }
  return link;
}

// Ends sending: TLS's close_notify first, then the socket's end of stream.
void end_sending(const Link& link) {
  if (link.ssl != nullptr && (SSL_get_shutdown(link.ssl) & SSL_SENT_SHUTDOWN) == 0) {
    ERR_clear_error();
    SSL_shutdown(link.ssl);
  }
  shutdown(link.fd, SHUT_WR);
}

void close_link(Link& link) {
  if (link.ssl != nullptr) {
    if ((SSL_get_shutdown(link.ssl) & SSL_SENT_SHUTDOWN) == 0) {
      ERR_clear_error();
      SSL_shutdown(link.ssl);
    }
    SSL_free(link.ssl);
  }
  if (link.fd >= 0) close(link.fd);
  link = Link();
}

// A connected client link, its TLS handshake made, or a closed one by the deadline.
Link open_link(const Options& options, double deadline) {
  Link link = link_over(connect_client(options.connect_port, deadline), options.client_tls, true);
  if (link.ssl != nullptr && !handshake(link, deadline)) close_link(link);
  return link;
}

// The sink's end of the next connection, its TLS handshake made, or a closed one by the deadline.
Link accept_link(const Options& options, int listener, double deadline) {
  Link link = link_over(accept_one(listener, deadline), options.sink_tls, false);
  if (link.ssl != nullptr && !handshake(link, deadline)) close_link(link);
  return link;
}

SSL_CTX* tls_context(bool as_client) {
  SSL_CTX* context = SSL_CTX_new(as_client ? TLS_client_method() : TLS_server_method());
  if (context == nullptr) return nullptr;
  // Partial writes let a non-blocking send go on where it stopped; a peer that
  // ends without close_notify ends the stream as a socket would.
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  return context;
}

// The client's and the sink's TLS contexts; false with a message when the
// sink's certificate or key cannot be used.
bool set_up_tls(Options* options) {
  options->client_tls = tls_context(true);
  options->sink_tls = tls_context(false);
  const char* cert = options->cert.c_str();
  if (options->client_tls == nullptr || options->sink_tls == nullptr ||
      SSL_CTX_use_certificate_chain_file(options->sink_tls, cert) != 1 ||
      SSL_CTX_use_PrivateKey_file(options->sink_tls, cert, SSL_FILETYPE_PEM) != 1) {
    std::fprintf(stderr, "loadgen: TLS with certificate and key from '%s': ", cert);
    ERR_print_errors_fp(stderr);
    std::fprintf(stderr, "\n");
    return false;
  }
  return true;
}

// xorshift64*: fast reproducible filler for the test data.
struct Random {
  std::uint64_t state;
  std::uint64_t next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
  }
};

std::string sha256_of(const char* data, long long length) {
  Sha256 hash;
  hash.update(reinterpret_cast<const unsigned char*>(data), static_cast<std::size_t>(length));
  return hash.hex_digest();
}

// ---------------------------------------------------------------- echo sink

// One epoll thread that accepts every connection and echoes what it reads,
// over TLS when given a context.
class EchoSink {
 public:
  explicit EchoSink(int port, SSL_CTX* tls = nullptr) : listener_(listen_on(port)), tls_(tls) {
    set_nonblocking(listener_);
    poller_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    watch(listener_, EPOLLIN);
    watch(wake_, EPOLLIN);
    thread_ = std::thread([this] { run(); });
  }
  ~EchoSink() {
    const std::uint64_t one = 1;
    if (write(wake_, &one, sizeof one) < 0) std::perror("eventfd");
    thread_.join();
    for (auto& entry : served_) close_link(entry.second.link);
    close(listener_);
    close(poller_);
    close(wake_);
  }
  int accepted() const { return accepted_.load(); }

 private:
  struct Served {
    Link link;
    bool handshaken = false;
    std::string unsent;
  };

  void watch(int fd, std::uint32_t events, int operation = EPOLL_CTL_ADD) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    epoll_ctl(poller_, operation, fd, &event);
  }

  void run() {
    epoll_event events[256];
    for (;;) {
      const int count = epoll_wait(poller_, events, 256, -1);
      for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        if (fd == wake_) return;
        if (fd == listener_) {
          accept_all();
        } else {
          serve(fd, events[i].events);
        }
      }
    }
  }

  void accept_all() {
    for (;;) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) return;
      set_nodelay(fd);
      served_[fd].link = link_over(fd, tls_, false);
      watch(fd, EPOLLIN);
      accepted_.fetch_add(1);
    }
  }

  void serve(int fd, std::uint32_t events) {
    Served& served = served_[fd];
    short wait = 0;
    if (served.link.ssl != nullptr && !served.handshaken) {
      served.handshaken = handshake_step(served.link, &wait);
      if (!served.handshaken && wait == 0) return drop(fd);
      // Waiting for the socket to take more is the exception: only then is EPOLLOUT watched.
      watch(fd, wait == POLLOUT ? EPOLLIN | EPOLLOUT : EPOLLIN, EPOLL_CTL_MOD);
      if (!served.handshaken) return;
    }
    // TLS may hold more records than the socket shows: read it dry.
    if ((events & EPOLLIN) || served.link.ssl != nullptr) {
      char buffer[65536];
      ssize_t n = 0;
      do {
        n = receive_once(served.link, buffer, sizeof buffer, &wait);
        if (n > 0) served.unsent.append(buffer, static_cast<std::size_t>(n));
      } while (n > 0 && served.link.ssl != nullptr);
      if (n == 0 || (n < 0 && wait == 0)) return drop(fd);
    }
    if (!served.unsent.empty()) {
      const ssize_t n = send_once(served.link, served.unsent.data(), served.unsent.size(), &wait);
      if (n > 0) served.unsent.erase(0, static_cast<std::size_t>(n));
      watch(fd, served.unsent.empty() ? EPOLLIN : EPOLLIN | EPOLLOUT, EPOLL_CTL_MOD);
    }
  }

  void drop(int fd) {
    epoll_ctl(poller_, EPOLL_CTL_DEL, fd, nullptr);
    close_link(served_[fd].link);
    served_.erase(fd);
  }

  int listener_;
  SSL_CTX* tls_;
  int poller_;
  int wake_;
  std::unordered_map<int, Served> served_;
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

constexpr int kLineBytes = 20;  // "ping 0000000000001\r\n"

std::string numbered_line(int index) {
  char line[kLineBytes + 1];
  std::snprintf(line, sizeof line, "ping %013d\r\n", index);
  return std::string(line, kLineBytes);
}

// One line there and its echo back; false if it did not come back whole.
bool exchange_line(const Link& link, int index, double deadline) {
  const std::string line = numbered_line(index);
  char reply[kLineBytes];
  return send_all(link, line.data(), kLineBytes, deadline) == kLineBytes &&
         receive_exactly(link, reply, kLineBytes, deadline) == kLineBytes &&
         std::memcmp(reply, line.data(), kLineBytes) == 0;
}

// ---------------------------------------------------------------- bulk text

// About 1 MB of distinct 76-character base64 lines, each ending CR LF.
std::string base64_lines() {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  constexpr int kLines = 12821;
  Random random{0x9E3779B97F4A7C15ULL};
  std::string text;
  text.reserve(kLines * 78);
  for (int line = 0; line < kLines; ++line) {
    for (int i = 0; i < 76; ++i) text += alphabet[random.next() >> 58];
    text += "\r\n";
  }
  return text;
}

int run_bulk_text(const Options& options) {
  const std::string pattern = base64_lines();
  const long long total = options.bytes - options.bytes % 78;  // whole lines only
  const int listener = listen_on(options.sink_port);
  std::atomic<double> deadline{now_seconds() + options.cap_seconds + 30};
  long long arrived = 0;
  double last_byte_time = 0;
  bool intact = true;

  std::thread sink([&] {
    Link link = accept_link(options, listener, deadline.load());
    if (!link.open()) return;
    std::vector<char> buffer(1 << 18);
    while (arrived < total) {
      const long long n = receive_some(link, buffer.data(), static_cast<long long>(buffer.size()), deadline.load());
      if (n == 0) break;
      // Compare with what was sent: the pattern repeats from offset 0.
      for (long long done = 0; done < n;) {
        const std::size_t offset = static_cast<std::size_t>((arrived + done) % static_cast<long long>(pattern.size()));
        const std::size_t run = std::min<std::size_t>(static_cast<std::size_t>(n - done), pattern.size() - offset);
        if (std::memcmp(buffer.data() + done, pattern.data() + offset, run) != 0) intact = false;
        done += static_cast<long long>(run);
      }
      arrived += n;
      last_byte_time = now_seconds();
    }
    close_link(link);
  });

  Link link = open_link(options, now_seconds() + 10);
  if (!link.open()) die("connect");
  const double start = now_seconds();
  deadline = start + options.cap_seconds;
  long long sent = 0;
  while (sent < total && now_seconds() < deadline.load()) {
    const long long offset = sent % static_cast<long long>(pattern.size());
    const long long run = std::min<long long>(total - sent, static_cast<long long>(pattern.size()) - offset);
    const long long n = send_all(link, pattern.data() + offset, run, deadline.load());
    sent += n;
    if (n < run) break;
  }
  end_sending(link);
  sink.join();
  const bool complete = arrived == total;
  const double seconds = complete ? last_byte_time - start : options.cap_seconds;
  std::printf("RESULT bytes=%lld arrived=%lld complete=%d intact=%d seconds=%.4f mbps=%.3f\n", total, arrived,
              complete, intact, seconds, arrived / 1e6 / seconds);
  close_link(link);
  close(listener);
  return complete && intact ? 0 : 1;
}

// ---------------------------------------------------------------- bulk binary

struct Stream {
  std::vector<char> out;       // what this end sends
  std::vector<char> in;        // what this end received
  long long received = 0;
  double last_byte_time = 0;
};

// Sends out while receiving into in, at the same time, on one socket.
void pump_both_ways(int fd, Stream& stream, long long expected, const double& deadline) {
  std::thread sender([&] {
    send_all(fd, stream.out.data(), static_cast<long long>(stream.out.size()), deadline);
    shutdown(fd, SHUT_WR);
  });
  while (stream.received < expected) {
    const ssize_t n = recv(fd, stream.in.data() + stream.received, static_cast<std::size_t>(expected - stream.received), 0);
    if (n > 0) {
      stream.received += n;
      stream.last_byte_time = now_seconds();
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!wait_ready(fd, POLLIN, deadline)) break;
    } else {
      break;
    }
  }
  sender.join();
}

std::vector<char> random_bytes(long long length, std::uint64_t seed) {
  std::vector<char> data(static_cast<std::size_t>(length));
  Random random{seed};
  for (long long i = 0; i + 8 <= length; i += 8) {
    const std::uint64_t word = random.next();
    std::memcpy(data.data() + i, &word, 8);
  }
  return data;
}

int run_bulk_binary(const Options& options) {
  const long long each_way = options.bytes;
  Stream client;
  Stream server;
  client.out = random_bytes(each_way, 0x1234567887654321ULL);
  server.out = random_bytes(each_way, 0x0FEDCBA987654321ULL);
  client.in.resize(static_cast<std::size_t>(each_way));
  server.in.resize(static_cast<std::size_t>(each_way));
  const std::string client_sent_hash = sha256_of(client.out.data(), each_way);
  const std::string server_sent_hash = sha256_of(server.out.data(), each_way);

  const int listener = listen_on(options.sink_port);
  const double deadline = now_seconds() + options.cap_seconds;
  std::thread sink([&] {
    const int fd = accept_one(listener, deadline);
    if (fd < 0) return;
    pump_both_ways(fd, server, each_way, deadline);
    close(fd);
  });
  const int fd = connect_client(options.connect_port, now_seconds() + 10);
  if (fd < 0) die("connect");
  const double start = now_seconds();
  pump_both_ways(fd, client, each_way, deadline);
  sink.join();

  const bool complete = client.received == each_way && server.received == each_way;
  const double seconds = complete ? std::max(client.last_byte_time, server.last_byte_time) - start : options.cap_seconds;
  // The sink checks what the client sent, the client what the sink sent.
  const bool sink_ok = server.received == each_way && sha256_of(server.in.data(), each_way) == client_sent_hash;
  const bool client_ok = client.received == each_way && sha256_of(client.in.data(), each_way) == server_sent_hash;
  const long long arrived = client.received + server.received;
  std::printf("RESULT bytes=%lld arrived=%lld complete=%d sha_sink_ok=%d sha_client_ok=%d intact=%d seconds=%.4f "
              "mbps=%.3f\n",
              2 * each_way, arrived, complete, sink_ok, client_ok, sink_ok && client_ok, seconds,
              arrived / 1e6 / seconds);
  close(fd);
  close(listener);
  return complete && sink_ok && client_ok ? 0 : 1;
}

// ---------------------------------------------------------------- ping-pong

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(fraction * values.size()));
  return values[index];
}

int run_ping_pong(const Options& options) {
  constexpr int kWarmUp = 50;
  const int round_trips = options.count > 0 ? options.count : 5000;
  EchoSink sink(options.sink_port);
  const double deadline = now_seconds() + options.cap_seconds;
  const int fd = connect_client(options.connect_port, deadline);
  if (fd < 0) die("connect");
  for (int i = 0; i < kWarmUp; ++i) exchange_line(fd, -i, deadline);
  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(round_trips));
  int failed = 0;
  const double start = now_seconds();
  for (int i = 0; i < round_trips; ++i) {
    const double before = now_seconds();
    if (!exchange_line(fd, i, deadline)) {
      ++failed;
      break;
    }
    micros.push_back((now_seconds() - before) * 1e6);
  }
  const double seconds = now_seconds() - start;
  shutdown(fd, SHUT_WR);
  drain_until_close(fd, now_seconds() + 5);
  close(fd);
  std::printf("RESULT round_trips=%zu failed=%d seconds=%.4f median_us=%.2f p99_us=%.2f\n", micros.size(), failed,
              seconds, percentile(micros, 0.5), percentile(micros, 0.99));
  return failed == 0 ? 0 : 1;
}

// ---------------------------------------------------------------- request/response

// A reply like a server's answer: whole text lines up to length, ending CR LF.
std::string reply_text(long long length) {
  const std::string lines = base64_lines();
  std::string reply;
  reply.reserve(static_cast<std::size_t>(length));
  while (static_cast<long long>(reply.size()) < length) {
    reply.append(lines, 0, static_cast<std::size_t>(length) - reply.size());
  }
  if (length >= 2) reply.replace(reply.size() - 2, 2, "\r\n");
  return reply;
}

void set_blocking_with_timeout(int fd, double seconds) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(seconds) + 1;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

// Answers every request line with the whole reply handed to one blocking
// send, as a server that writes its answer at once, until the client ends.
void answer_requests(const Options& options, int listener, const std::string& reply, double deadline) {
  Link link = accept_link(options, listener, deadline);
  if (!link.open()) return;
  set_blocking_with_timeout(link.fd, deadline - now_seconds());
  const auto length = static_cast<long long>(reply.size());
  char request[kLineBytes];
  while (receive_exactly(link, request, kLineBytes, deadline) == kLineBytes &&
         send_all(link, reply.data(), length, deadline) == length) {
  }
  close_link(link);
}

// What a request/response run measured after its warm-up.
struct RoundTrips {
  int warm_up = 0;
  std::vector<double> micros;
  bool intact = true;
  double seconds = 0;
};

// Calls round_trip (one request line, and its whole reply into received) a
// few times unmeasured, then up to count times measured, comparing every
// reply with the one expected; stops at the first that fails.
RoundTrips measure_round_trips(const std::function<bool(int)>& round_trip, int count,
                               const std::vector<char>& received, const std::string& reply) {
  constexpr int kWarmUp = 10;
  RoundTrips trips;
  while (trips.warm_up < kWarmUp && round_trip(-trips.warm_up)) ++trips.warm_up;
  trips.micros.reserve(static_cast<std::size_t>(count));
  const double start = now_seconds();
  for (int i = 0; i < count; ++i) {
    const double before = now_seconds();
    if (!round_trip(i)) break;
    trips.micros.push_back((now_seconds() - before) * 1e6);
    trips.intact = trips.intact && std::memcmp(received.data(), reply.data(), received.size()) == 0;
  }
  trips.seconds = now_seconds() - start;
  return trips;
}

int report_round_trips(const RoundTrips& trips, std::size_t reply_bytes, int count) {
  const bool complete = static_cast<int>(trips.micros.size()) == count;
  std::printf("RESULT reply_bytes=%zu warm_up=%d round_trips=%zu complete=%d intact=%d seconds=%.4f "
              "median_us=%.2f p99_us=%.2f\n",
              reply_bytes, trips.warm_up, trips.micros.size(), complete, trips.intact, trips.seconds,
              percentile(trips.micros, 0.5), percentile(trips.micros, 0.99));
  return trips.intact ? 0 : 1;
}

// Request lines and replies of --bytes each, one at a time, until --count are
// done or the cap: a relay that holds back the end of a reply shows here.
int run_request_response(const Options& options) {
  const int round_trips = options.count > 0 ? options.count : 2000;
  const std::string reply = reply_text(options.bytes);
  const auto length = static_cast<long long>(reply.size());
  const int listener = listen_on(options.sink_port);
  const double deadline = now_seconds() + options.cap_seconds;
  std::thread sink([&] { answer_requests(options, listener, reply, deadline + 10); });
  Link link = open_link(options, deadline);
  if (!link.open()) die("connect");
  std::vector<char> received(static_cast<std::size_t>(length));
  const auto round_trip = [&](int index) {
    const std::string line = numbered_line(index);
    return send_all(link, line.data(), kLineBytes, deadline) == kLineBytes &&
           receive_exactly(link, received.data(), length, deadline) == length;
  };
  const RoundTrips trips = measure_round_trips(round_trip, round_trips, received, reply);
  end_sending(link);
  drain_until_close(link, now_seconds() + 5);
  close_link(link);
  sink.join();
  close(listener);
  return report_round_trips(trips, reply.size(), round_trips);
}

// ---------------------------------------------------------------- connection rate

int run_conn_rate(const Options& options) {
  const int connections = options.count > 0 ? options.count : 500;
  EchoSink sink(options.sink_port, options.sink_tls);
  const double deadline = now_seconds() + options.cap_seconds;
  int done = 0;
  std::vector<double> micros;
  const double start = now_seconds();
  for (int i = 0; i < connections && now_seconds() < deadline; ++i) {
    const double before = now_seconds();
    Link link = open_link(options, deadline);
    if (!link.open()) continue;
    if (exchange_line(link, i, deadline)) {
      ++done;
      micros.push_back((now_seconds() - before) * 1e6);
    }
    close_link(link);
  }
  const double seconds = now_seconds() - start;
  std::printf("RESULT connections=%d done=%d seconds=%.4f per_second=%.1f median_us=%.1f\n", connections, done,
              seconds, done / seconds, percentile(micros, 0.5));
  return done == connections ? 0 : 1;
}

// ---------------------------------------------------------------- concurrency

// A relay that has taken no new connection for this long (out of
// descriptors, say) is taken to take no more.
constexpr double kStallSeconds = 10;

// Watches a count that should keep rising until a deadline: it stalls when
// the count has not risen for kStallSeconds.
class Progress {
 public:
  explicit Progress(double deadline) : deadline_(deadline), since_(now_seconds()) {}

  // False past the deadline or once count has stalled.
  bool going(int count) {
    const double now = now_seconds();
    if (count != last_) {
      last_ = count;
      since_ = now;
    }
    return now < std::min(deadline_, since_ + kStallSeconds);
  }
  // How long a single wait may take before it counts as a stall.
  double wait_limit() const { return std::min(deadline_, since_ + kStallSeconds); }

 private:
  double deadline_;
  double since_;
  int last_ = -1;
};

// Opens connections until n are held and the sink has accepted all of them
// (so the relay has both legs of each up); keeps the backlog of connections the
// sink has not yet seen below in_flight, so a relay with a short listen queue
// (socat's is 5) is not flooded with connects that the kernel drops and retries
// a second later. False at the deadline or when the relay stops taking
// connections.
bool open_until(std::vector<int>& clients, int n, const EchoSink& sink, const Options& options, double deadline) {
  Progress progress(deadline);
  while (progress.going(sink.accepted())) {
    const int held = static_cast<int>(clients.size());
    if (held >= n && sink.accepted() >= n) return true;
    if (held >= n || held - sink.accepted() >= options.in_flight) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      continue;
    }
    const int fd = connect_client(options.connect_port, progress.wait_limit());
    if (fd >= 0) clients.push_back(fd);
  }
  return false;
}

// Sends one line on every connection, then collects every echo.
int exchange_on_all(const std::vector<int>& clients, double deadline) {
  for (std::size_t i = 0; i < clients.size(); ++i) {
    const std::string line = numbered_line(static_cast<int>(i));
    send_all(clients[i], line.data(), kLineBytes, deadline);
  }
  const int poller = epoll_create1(EPOLL_CLOEXEC);
  std::vector<int> got(clients.size(), 0);
  for (std::size_t i = 0; i < clients.size(); ++i) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = i;
    epoll_ctl(poller, EPOLL_CTL_ADD, clients[i], &event);
  }
  int completed = 0;
  epoll_event events[256];
  Progress progress(deadline);
  while (completed < static_cast<int>(clients.size()) && progress.going(completed)) {
    const int count = epoll_wait(poller, events, 256, 100);
    for (int e = 0; e < count; ++e) {
      const std::size_t i = events[e].data.u64;
      char reply[kLineBytes];
      const ssize_t n = recv(clients[i], reply, static_cast<std::size_t>(kLineBytes - got[i]), 0);
      if (n > 0 && (got[i] += static_cast<int>(n)) == kLineBytes) {
        ++completed;
        epoll_ctl(poller, EPOLL_CTL_DEL, clients[i], nullptr);
      } else if (n == 0) {
        epoll_ctl(poller, EPOLL_CTL_DEL, clients[i], nullptr);
      }
    }
  }
  close(poller);
  return completed;
}

int run_concurrency(const Options& options) {
  const int connections = options.count > 0 ? options.count : 5000;
  EchoSink sink(options.sink_port);
  const double deadline = now_seconds() + options.cap_seconds;
  std::vector<int> clients;
  clients.reserve(static_cast<std::size_t>(connections));
  const double start = now_seconds();
  bool all_open = true;
  std::vector<int> marks = options.hold_marks;
  marks.push_back(connections);
  for (int mark : marks) {
    if (mark > connections || (!clients.empty() && mark <= static_cast<int>(clients.size()))) continue;
    if (!open_until(clients, mark, sink, options, deadline)) {
      all_open = false;
      break;
    }
    pause_point(options, std::to_string(mark));
  }
  const double opened = now_seconds();
  const int completed = exchange_on_all(clients, deadline);
  const double exchanged = now_seconds();
  std::printf("RESULT connections=%d held=%zu accepted=%d completed=%d open_seconds=%.3f exchange_seconds=%.3f\n",
              connections, clients.size(), sink.accepted(), completed, opened - start, exchanged - opened);
  std::fflush(stdout);
  for (int fd : clients) close(fd);
  return completed == connections && all_open ? 0 : 1;
}

// ---------------------------------------------------------------- idle

// Opens --count connections one after the other, a line exchanged on each,
// and holds them idle: with --pause it stops once the first is open ("first":
// what a relay sets up once is there) and once all are ("idle"), else it
// holds them 3 s.
int run_idle(const Options& options) {
  const int connections = options.count > 0 ? options.count : 20;
  EchoSink sink(options.sink_port, options.sink_tls);
  const double deadline = now_seconds() + options.cap_seconds;
  std::vector<Link> clients;
  int ready = 0;
  for (int i = 0; i < connections; ++i) {
    const Link link = open_link(options, deadline);
    if (!link.open()) continue;
    clients.push_back(link);
    if (exchange_line(link, i, deadline)) ++ready;
    if (i == 0) pause_point(options, "first");
  }
  if (options.pause) {
    pause_point(options, "idle");
  } else {
    std::this_thread::sleep_for(std::chrono::seconds(3));
  }
  // Still alive after the quiet spell?
  int alive = 0;
  for (std::size_t i = 0; i < clients.size(); ++i) {
    if (exchange_line(clients[i], static_cast<int>(i), deadline)) ++alive;
  }
  for (Link& link : clients) close_link(link);
  std::printf("RESULT connections=%d ready=%d alive_after=%d\n", connections, ready, alive);
  return alive == connections ? 0 : 1;
}

// ---------------------------------------------------------------- main

std::vector<int> parse_marks(const char* text) {
  std::vector<int> marks;
  char* end = nullptr;
  for (const char* p = text; *p != '\0'; p = (*end == ',') ? end + 1 : end) {
    const long mark = std::strtol(p, &end, 10);
    if (end == p) break;
    marks.push_back(static_cast<int>(mark));
  }
  return marks;
}

bool parse(int argc, char** argv, Options* options) {
  if (argc < 2) return false;
  options->workload = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--pause" || name == "--tls") {
      bool& flag = name == "--pause" ? options->pause : options->tls;
      flag = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (name == "--connect") {
      options->connect_port = std::atoi(value);
    } else if (name == "--sink") {
      options->sink_port = std::atoi(value);
    } else if (name == "--bytes") {
      options->bytes = std::atoll(value);
    } else if (name == "--count") {
      options->count = std::atoi(value);
    } else if (name == "--cap") {
      options->cap_seconds = std::atof(value);
    } else if (name == "--in-flight") {
      options->in_flight = std::max(1, std::atoi(value));
    } else if (name == "--hold-marks") {
      options->hold_marks = parse_marks(value);
    } else if (name == "--cert") {
      options->cert = value;
    } else {
      return false;
    }
  }
  return options->connect_port > 0 && options->sink_port > 0 && options->tls == !options->cert.empty();
}

// The workloads that run over TLS with --tls.
bool speaks_tls(const std::string& workload) {
  for (const char* name : {"bulk-text", "request-response", "conn-rate", "idle"}) {
    if (workload == name) return true;
  }
  return false;
}

int run_workload(const Options& options) {
  if (options.workload == "bulk-text") return run_bulk_text(options);
  if (options.workload == "bulk-binary") return run_bulk_binary(options);
  if (options.workload == "ping-pong") return run_ping_pong(options);
  if (options.workload == "request-response") return run_request_response(options);
  if (options.workload == "conn-rate") return run_conn_rate(options);
  if (options.workload == "concurrency") return run_concurrency(options);
  if (options.workload == "idle") return run_idle(options);
  std::fprintf(stderr, "loadgen: unknown workload %s\n", options.workload.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: loadgen bulk-text|bulk-binary|ping-pong|request-response|conn-rate|concurrency|idle "
                 "--connect PORT --sink PORT [--bytes N] [--count N] [--cap SECONDS] [--hold-marks N,N] [--in-flight N] [--pause] "
                 "[--tls --cert PEM]\n");
    return 2;
  }
  if (options.tls && !speaks_tls(options.workload)) {
    std::fprintf(stderr, "loadgen: %s does not run over TLS\n", options.workload.c_str());
    return 2;
  }
  // A TLS write to a peer that has gone must fail, not end the generator.
  std::signal(SIGPIPE, SIG_IGN);
  raise_descriptor_limit();
  const int status = options.tls && !set_up_tls(&options) ? 2 : run_workload(options);
  SSL_CTX_free(options.client_tls);
  SSL_CTX_free(options.sink_tls);
  return status;
}
