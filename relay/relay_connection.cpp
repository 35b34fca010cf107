#include "relay/relay_connection.h"

#include <cstring>

#include "relay/settings.h"
#include "traffic_log/log_output.h"

namespace {

constexpr int kClientIndex = 0;
constexpr int kServerIndex = 1;

// Both ends of one direction of the relay, seen through the session's fields.
struct Direction {
  platform::Socket& source;
  platform::Socket& destination;
  char* buffer;
  std::int32_t& length;
  LineSplitter& lines;
  bool& source_readable;
  bool& destination_writable;
  bool& pending;
  bool& room;
  bool& source_shutdown_seen;
  bool& source_ended;
  bool& destination_failed;
  bool& destination_send_shut;
  const char* source_shutdown_line;
  const char* read_error_line;
  const char* send_error_line;
};

Direction client_to_server(RelaySession& s) {
  return Direction{.source = s.client,
                   .destination = s.server,
                   .buffer = s.c2s,
                   .length = s.c2s_len,
                   .lines = s.client_lines,
                   .source_readable = s.client_readable,
                   .destination_writable = s.server_writable,
                   .pending = s.c2s_pending,
                   .room = s.c2s_room,
                   .source_shutdown_seen = s.client_shutdown_seen,
                   .source_ended = s.client_ended,
                   .destination_failed = s.server_failed,
                   .destination_send_shut = s.server_send_shut,
                   .source_shutdown_line = "Client has initiated shutdown\n",
                   .read_error_line = "Client socket read error %d\n",
                   .send_error_line = "Server socket send error %d\n"};
}

Direction server_to_client(RelaySession& s) {
  return Direction{.source = s.server,
                   .destination = s.client,
                   .buffer = s.s2c,
                   .length = s.s2c_len,
                   .lines = s.server_lines,
                   .source_readable = s.server_readable,
                   .destination_writable = s.client_writable,
                   .pending = s.s2c_pending,
                   .room = s.s2c_room,
                   .source_shutdown_seen = s.server_shutdown_seen,
                   .source_ended = s.server_ended,
                   .destination_failed = s.client_failed,
                   .destination_send_shut = s.client_send_shut,
                   .source_shutdown_line = "Server has initiated shutdown\n",
                   .read_error_line = "Server socket read error %d\n",
                   .send_error_line = "Client socket send error %d\n"};
}

void note_source_closed(Direction& d) {
  if (!d.source_shutdown_seen) log_message("%s", d.source_shutdown_line);
  d.source_shutdown_seen = true;
}

// Applies one socket's notifications. A peer's close means it will send no
// more: it is read until its end of stream, and still sent to.
void collect(RelaySession& s, int which, Direction& from_socket, bool& socket_writable) {
  const platform::SocketReadiness ready = s.readiness.collect(which);
  if (ready.readable) from_socket.source_readable = true;
  if (ready.writable) socket_writable = true;
  if (ready.closed) {
    note_source_closed(from_socket);
    from_socket.source_readable = true;
  }
}

bool can_read(const Direction& d) {
  return d.source_readable && d.room && !d.source_ended && !d.destination_failed;
}

bool can_send(const Direction& d) {
  return d.destination_writable && d.pending && !d.destination_failed;
}

// The direction's source has said all it will, and all of it was delivered or
// can never be.
bool finished(const Direction& d) {
  return (d.source_ended && d.length == 0) || d.destination_failed;
}

void read_source(Direction& d) {
  const platform::IoResult result = platform::receive(
      d.source, d.buffer + d.length, static_cast<std::size_t>(RelaySession::kBufferSize - d.length));
  if (result.would_block) {
    d.source_readable = false;
  } else if (result.failed()) {
    log_message(d.read_error_line, result.error);
    d.source_ended = true;
  } else if (result.count == 0) {
    note_source_closed(d);
    d.source_ended = true;
  } else {
    const auto count = static_cast<std::int32_t>(result.count);
    // A short read emptied the socket and the next arrival is notified
    // again, so no read is spent on would-block. A closed peer is read on
    // until its end of stream.
    if (count < RelaySession::kBufferSize - d.length && !d.source_shutdown_seen) d.source_readable = false;
    d.lines.feed(d.buffer + d.length, count);
    d.length += count;
    d.pending = true;
    d.room = d.length < RelaySession::kBufferSize;
  }
}

void send_to_destination(Direction& d) {
  const platform::IoResult result =
      platform::send_bytes(d.destination, d.buffer, static_cast<std::size_t>(d.length));
  if (result.would_block) {
    d.destination_writable = false;
  } else if (result.failed()) {
    log_message(d.send_error_line, result.error);
    d.destination_failed = true;
  } else {
    const auto sent = static_cast<std::int32_t>(result.count);
    std::memmove(d.buffer, d.buffer + sent, static_cast<std::size_t>(d.length - sent));
    d.length -= sent;
    d.pending = d.length > 0;
    d.room = d.length < RelaySession::kBufferSize;
  }
}

// The source's close is passed on only once everything it sent was delivered.
void pass_on_close(Direction& d) {
  if (d.source_ended && d.length == 0 && !d.destination_failed && !d.destination_send_shut) {
    platform::shutdown_sending(d.destination);
    d.destination_send_shut = true;
  }
}

// The notification objects are made first: when descriptors run out, the
// client is turned away as by a failed connect, before any traffic.
bool connect_to_target(RelaySession& s, platform::Endpoint target) {
  if (s.readiness.create()) {
    s.server = platform::open_tcp_socket();
    if (s.server != platform::kNoSocket && platform::connect_to(s.server, target)) return true;
  }
  log_message("Error connecting to %s:%d (%d)\n", address_text(target.address).text, target.port,
              platform::last_socket_error());
  return false;
}

void log_outgoing(const RelaySession& s, platform::Endpoint target) {
  platform::Endpoint local;
  if (!platform::local_endpoint(s.server, &local)) local = platform::Endpoint{};
  log_message("Outgoing: %s:%d -> %s:%d\n", address_text(local.address).text, local.port,
              address_text(target.address).text, target.port);
}

// One pass: collect, then at most one read or send per step, in this order.
// Returns whether another step could make progress at once.
bool relay_pass(RelaySession& s, Direction& c2s, Direction& s2c, bool forever) {
  if (s.readiness.wait(forever)) {
    collect(s, kClientIndex, c2s, s.client_writable);
    collect(s, kServerIndex, s2c, s.server_writable);
  }
  if (can_read(c2s)) read_source(c2s);
  if (can_send(s2c)) send_to_destination(s2c);
  if (can_read(s2c)) read_source(s2c);
  if (can_send(c2s)) send_to_destination(c2s);
  pass_on_close(c2s);
  pass_on_close(s2c);
  return can_read(c2s) || can_send(c2s) || can_read(s2c) || can_send(s2c);
}

void log_closing_line(const RelaySession& s) {
  if (s.c2s_len == 0 && s.s2c_len == 0) {
    log_message("Connection closed\n");
  } else {
    log_message("Connection closed (unsent data! C->S: %d , S->C: %d\n", s.c2s_len, s.s2c_len);
  }
}

void relay_until_finished(RelaySession& s) {
  Direction c2s = client_to_server(s);
  Direction s2c = server_to_client(s);
  bool forever = true;
  while (!(finished(c2s) && finished(s2c))) forever = !relay_pass(s, c2s, s2c, forever);
}

void close_both(RelaySession& s) {
  platform::close_socket(s.client);
  platform::close_socket(s.server);
  s.client_open = s.server_open = false;
}

}  // namespace

int relay_connection(platform::Socket client) {
  RelaySession s;
  s.client = client;
  log_message("Connection received\n");
  const platform::Endpoint target{settings.target_address, effective_target_port(settings)};
  const bool connected = connect_to_target(s, target);
  if (connected) {
    log_outgoing(s, target);
    if (s.readiness.arm(s.client, s.server)) {
      relay_until_finished(s);
    } else {
      log_message("Client socket read error %d\n", platform::last_socket_error());
    }
  }
  s.readiness.close();
  close_both(s);
  if (connected) log_closing_line(s);
  return 0;
}

void relay_connection_thread(void* client_socket) {
  relay_connection(reinterpret_cast<platform::Socket>(client_socket));
}
