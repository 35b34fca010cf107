// qorvand: a TCP connection logger. Relays every client to one target and
// logs the conversation as text lines.
#include "relay/accept_loop.h"
#include "relay/startup.h"

int main(int argc, char** argv) {
  // Lives until the process ends: the accept loop never returns.
  static Runtime runtime;
  platform::Socket listener = platform::kNoSocket;
  const StartUp outcome = start_up(argc, argv, &runtime, &listener);
  if (outcome != StartUp::kRun) return outcome == StartUp::kAnswered ? 0 : 1;
  accept_forever(runtime, listener);
}
