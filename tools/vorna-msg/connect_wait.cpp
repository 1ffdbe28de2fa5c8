#include "connect_wait.h"

#include <algorithm>

ServerConnection::ServerConnection(const std::string& name, NotifyCbk cbk, void* ctx, ToolOutput& out)
    : mOut(out) {
    mConnection.emplace(name.c_str(), 0, cbk, ctx, VORNA::Connection::CONNECT_LATER);
}

ServerConnection::~ServerConnection() {
    if (mConnected)
        return;  // the library's destructor disconnects
    mOut.holdLibraryLines();
    mConnection.reset();
    mOut.releaseLibraryLines(false);
}

ConnectOutcome ServerConnection::connectWithin(int timeoutMs, StopSignals& signals) {
    const long long deadline = monotonicMs() + timeoutMs;
    for (;;) {
        const int left = msUntil(deadline);
        const bool last = left <= kWaitSliceMs;
        mOut.holdLibraryLines();
        mConnected = mConnection->connect(std::min(left, kWaitSliceMs)) == 0;
        mOut.releaseLibraryLines(mConnected);
        if (mConnected)
            return ConnectOutcome::kConnected;
        if (last)
            return ConnectOutcome::kTimedOut;
        if (signals.wait(0) == StopSignals::kStop)
            return ConnectOutcome::kStopped;
    }
}
