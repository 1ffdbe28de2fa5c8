#pragma once

#include <optional>
#include <string>

#include "output.h"
#include "signals.h"
#include "vorna/vorna.h"

// Slices of the tool's bounded waits on the library: short enough that a stop signal ends a command
// within its 100 ms.
constexpr int kWaitSliceMs = 50;

enum class ConnectOutcome { kConnected, kTimedOut, kStopped };

// A client connection that is made only once a server listens, waiting for one in slices. The tool says
// itself when no server came, so the library's lines about those failures are kept out of the log: the
// lines of every failed slice, and the error the library logs on tearing down a connection never made.
class ServerConnection {
  public:
    // Does not connect yet; `name` must outlive the object.
    ServerConnection(const std::string& name, NotifyCbk cbk, void* ctx, ToolOutput& out);
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    // Tries for up to `timeoutMs` (0: one attempt); a stop signal ends the wait between slices.
    ConnectOutcome connectWithin(int timeoutMs, StopSignals& signals);
    VORNA::Connection& get() { return *mConnection; }

  private:
    ToolOutput& mOut;
    bool mConnected = false;
    std::optional<VORNA::Connection> mConnection;
};
