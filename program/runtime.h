// What start-up hands to the accept loop and to the event loops: the
// settings, read-only from here on, the log, the capture file (open with
// -w), the registry of live connections and, with --tls, what the
// interception is made from.
#pragma once

#include <memory>
#include <utility>

#include "capture/capture_file.h"
#include "program/settings.h"
#include "relay/connection_registry.h"
#include "relay/event_loop.h"
#include "traffic_log/log.h"
#if defined(QORVAND_HAS_TLS)
#include "tls/authority.h"
#include "tls/interception.h"
#include "tls/keylog.h"
#endif

struct Runtime {
  explicit Runtime(Settings chosen) : settings(std::move(chosen)) {}

  const Settings settings;
  Log log;
  capture::CaptureFile capture;
  ConnectionRegistry connections;
#if defined(QORVAND_HAS_TLS)
  // With --tls, loaded at start-up: the certificates clients are shown, and
  // the key log of --keylog (empty without it).
  std::unique_ptr<tls::CertificateAuthority> authority;
  std::unique_ptr<tls::KeyLog> key_log;
  // The interception made of them, which every connection uses.
  std::unique_ptr<tls::Interception> interception;
#endif
  // What the loops relay every client to, and the loops, started last.
  RelayTargets relay_targets;
  EventLoops loops;
};
