// qorvand: a TCP connection logger. Relays every client to one target and
// logs the conversation as text lines.
#include "program/accept_loop.h"
#include "program/startup.h"

int main(int argc, char** argv) {
  std::optional<Settings> settings;
  const StartUp read = read_settings(argc, argv, &settings);
  if (read != StartUp::kRun) return read == StartUp::kAnswered ? 0 : 1;
  // Lives until the process ends: the accept loop never returns.
  static Runtime runtime(std::move(*settings));
  std::optional<platform::Listener> listener = start_serving(runtime);
  if (!listener) return 1;
  accept_forever(runtime, *listener);
}
