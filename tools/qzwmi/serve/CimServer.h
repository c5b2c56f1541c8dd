// `qzwmi serve`: the CIM-XML endpoint over HTTP or HTTPS, hosting the WMI service and keeping the
// module loaded until it is told to stop.
#pragma once

#include <cstddef>
#include <string>

#include "metrics/MemoryMetrics.h"
#include "metrics/MetricsEndpoint.h"

namespace qzwmi::serve {

struct ServeOptions {
  std::string listen;          // ADDR:PORT; empty for 127.0.0.1 on 5988, or 5989 with TLS; port 0 picks one
  std::string tlsCert, tlsKey; // both for HTTPS
  std::string usersFile;       // the users file, when no PAM service is named
  std::string pamService;      // authenticate through PAM under this service
  bool noAuth = false;         // only with a loopback address
  int threads = 8;             // requests carried out at once (the worker threads)
  int maxConnections = 1024;   // connections open at once; more are answered 503 and closed
  int maxPerAddress = 128;     // the same from one client address
  size_t maxBody = 4u << 20;   // announced, chunked or otherwise
  size_t maxHeaders = 16u << 10;
  int headSeconds = 5;         // from the first byte of a request to the end of its head
  int bodySeconds = 30;        // to read a body, and to write an answer
  int idleSeconds = 30;        // between two requests on a connection
  int failedLoginDelayMs = 1000;
  int lockout = 0;             // failed logins within a minute that lock an address out for a minute; 0 for none
  int watchSeconds = 5;        // on the host: how often the memory error counters are looked at
  metrics::MetricsSettings metrics;  // GET /metrics: its own authentication
  metrics::BuildInfo build;          // the version the metrics report
  // Reads the options again, from the command line and the --config file it names, for a reload
  // (SIGHUP); false with the reason when they no longer parse. Without it a reload re-reads only
  // the users file.
  bool (*reread)(ServeOptions* next, std::string* error) = nullptr;

  bool operator==(const ServeOptions&) const = default;
};

// What Serve returns when a reload changed the options: the caller runs the command again in this
// process (exec), which takes over the listening socket that Serve left open. Its descriptor is in
// the environment variable kServeHandOver, and the new process finds it as systemd would pass it.
inline constexpr int kServeReload = 75;
inline constexpr char kServeHandOver[] = "QZWMI_SERVE_HANDOVER";

// Serves until SIGTERM or SIGINT, logging to standard error ("listening on ADDR:PORT" once bound),
// then releases the service so that the module unloads. Returns the exit status: 0 after a clean
// stop, 2 for options that cannot work (with the reason on standard error), kServeReload after a
// reload that changed them.
int Serve(const ServeOptions& options);

// Sets the allocator of the process up for serving: freed answers stay in the heap for the next.
void KeepAnswerMemory();

// True for 127.0.0.0/8, ::1 and localhost.
bool IsLoopback(const std::string& address);

}  // namespace qzwmi::serve
