// One relayed connection: the client accepted by the main thread, the
// server connection opened here, and the bytes moved both ways through two
// 512-byte buffers while each direction's LineSplitter logs them.
#pragma once

#include <cstdint>

#include "platform/net.h"
#include "platform/readiness.h"
#include "traffic_log/line_splitter.h"

struct RelaySession {
  static constexpr std::int32_t kBufferSize = 512;

  platform::Socket client = platform::kNoSocket;
  platform::Socket server = platform::kNoSocket;
  platform::ReadinessPair readiness;

  char c2s[kBufferSize];  // read from the client, not yet sent to the server
  std::int32_t c2s_len = 0;
  char s2c[kBufferSize];  // read from the server, not yet sent to the client
  std::int32_t s2c_len = 0;
  LineSplitter client_lines{">>>"};
  LineSplitter server_lines{"<<<"};

  // What the platform reported, kept until a call meets would-block.
  bool client_readable = false;
  bool client_writable = false;
  bool server_readable = false;
  bool server_writable = false;
  bool c2s_pending = false;
  bool c2s_room = true;
  bool s2c_pending = false;
  bool s2c_room = true;
  bool client_shutdown_seen = false;
  bool server_shutdown_seen = false;
  bool client_open = true;
  bool server_open = true;
  bool client_send_shut = false;
  bool server_send_shut = false;

  // A peer's stream has ended (end of stream or a read error): it is read no more.
  bool client_ended = false;
  bool server_ended = false;
  // A send to the peer failed: nothing more can be delivered to it.
  bool client_failed = false;
  bool server_failed = false;
};

// The relay thread's body; the argument is the accepted client socket,
// which the thread owns from then on.
void relay_connection_thread(void* client_socket);

// Relays one accepted client until both directions are finished, then
// closes both sockets. Returns 0 on every path.
int relay_connection(platform::Socket client);
