#pragma once

// Sockets that a service manager opened for this process before starting it (socket activation: a unit
// with ListenStream=@name hands the listening socket over in LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES,
// descriptors from 3 on).

namespace vorna {

// The handed listening stream socket whose abstract name is `name`, now close-on-exec and ours; -1 when
// the variables do not name this process or no handed descriptor is such a socket. Once every handed
// descriptor has been taken, the variables are removed, so that children do not inherit them. Safe from
// several servers of one process at once: each descriptor is handed out once.
int adoptActivatedSocket(const char* name);

}  // namespace vorna
