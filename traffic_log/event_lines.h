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
// --tls: the server name (or "no server name"), the version with the client,
// the version and cipher with the server, the protocol ALPN chose (as
// ", protocol h2", or nothing), whether the server's certificate was verified
inline constexpr char kTlsIntercepted[] =
    "TLS intercepted: %s, %s with the client, %s %s with the server%s, %s\n";
inline constexpr char kTlsServerName[] = "server name %s";
inline constexpr char kTlsNoServerName[] = "no server name";
inline constexpr char kTlsProtocol[] = ", protocol %s";
inline constexpr char kTlsVerified[] = "server certificate verified";
inline constexpr char kTlsNotVerified[] = "server certificate not verified: %s";
// "client" or "server", the reason in OpenSSL's words
inline constexpr char kTlsHandshakeFailed[] = "TLS handshake with the %s failed: %s\n";
inline constexpr char kTlsFailed[] = "TLS with the %s failed: %s\n";
// With -a, each connection's last line: bytes delivered client to server and
// server to client, seconds since it was accepted (with six decimals), how
// it ended (one of the texts below) and, for an intercepted connection, the
// mark after it
inline constexpr char kSummary[] = "Summary: C->S %llu bytes, S->C %llu bytes in %lld.%06lld s, %s\n";
inline constexpr char kInterceptedMark[] = ", TLS intercepted";
inline constexpr char kEndClosed[] = "closed";
inline constexpr char kEndClientReset[] = "reset by client";  // its read or send failed
inline constexpr char kEndServerReset[] = "reset by server";
inline constexpr char kEndRefused[] = "refused";
inline constexpr char kEndTimedOut[] = "timed out";
inline constexpr char kEndClientLeft[] = "client left";  // during the connect
inline constexpr char kEndConnectFailed[] = "connect failed";
// lines lost while the log could not be written, the reason
inline constexpr char kLogLinesLost[] = "Log write failed: %llu lines lost (%s)\n";

}  // namespace event_lines
