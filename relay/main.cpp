// qorvand: a TCP connection logger. Relays every client to one target and
// logs the conversation as text lines.
#include "relay/accept_loop.h"
#include "relay/startup.h"

int main(int argc, char** argv) {
  platform::Socket listener = platform::kNoSocket;
  if (!start_up(argc, argv, &listener)) return 1;
  accept_forever(listener);
}
