// Every event line of the log, in one place. Traffic lines are the prefix
// (">>>" from the client, "<<<" from the server), a blank and the text.
#pragma once

namespace event_lines {

inline constexpr char kListening[] = "Listening...\n";
// client address and port, listening address and port
inline constexpr char kIncoming[] = "Incoming: %s:%d -> %s:%d\n";
inline constexpr char kConnectionReceived[] = "Connection received\n";
// target address and port, the platform's error code
inline constexpr char kErrorConnecting[] = "Error connecting to %s:%d (%d)\n";
// local address and port of the outbound connection, target address and port
inline constexpr char kOutgoing[] = "Outgoing: %s:%d -> %s:%d\n";
// "Client" or "Server"
inline constexpr char kShutdown[] = "%s has initiated shutdown\n";
inline constexpr char kReadError[] = "%s socket read error %d\n";
inline constexpr char kSendError[] = "%s socket send error %d\n";
inline constexpr char kClosed[] = "Connection closed\n";
// bytes left undelivered each way (the text has no closing parenthesis)
inline constexpr char kClosedUnsent[] = "Connection closed (unsent data! C->S: %d , S->C: %d\n";
// lines lost while the log could not be written, the reason
inline constexpr char kLogLinesLost[] = "Log write failed: %llu lines lost (%s)\n";

}  // namespace event_lines
