// What start-up hands to the accept loop and to every relay thread: the
// settings, read-only from here on, the log, the capture file (open with
// -w), and the registry of live connections.
#pragma once

#include <utility>

#include "capture/capture_file.h"
#include "program/settings.h"
#include "relay/connection_registry.h"
#include "traffic_log/log.h"

struct Runtime {
  explicit Runtime(Settings chosen) : settings(std::move(chosen)) {}

  const Settings settings;
  Log log;
  capture::CaptureFile capture;
  ConnectionRegistry connections;
};
