#ifndef KORVANE_SIM_SERVER_H
#define KORVANE_SIM_SERVER_H

#include <string>

#include "gateway.h"

namespace korvane::sim {

struct ServerOptions {
  std::string listen = "127.0.0.1";  // numeric IPv4 or IPv6 address
  int port = 5000;                   // 0 lets the system pick a free port
  bool verbose = false;              // log connections and every telegram on stderr
};

// Serves the gateway on TCP until SIGINT or SIGTERM. Prints "listening on ADDR:PORT" on
// stdout once connections are accepted. Returns the process exit code.
int RunServer(const ServerOptions& options, Gateway& gateway);

}  // namespace korvane::sim

#endif
