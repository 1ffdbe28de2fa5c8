#pragma once

#include <string>
#include <thread>
#include <vector>

// The baseline of the benchmark: plain POSIX sockets with the library's framing. The client writes its
// request bytes; the server answers each read with a 32-byte response header and the bytes as the body,
// from one blocking thread per client.
class RawEchoServer {
  public:
    RawEchoServer() = default;
    ~RawEchoServer() { stop(); }
    RawEchoServer(const RawEchoServer&) = delete;
    RawEchoServer& operator=(const RawEchoServer&) = delete;

    // Listens on `name` and starts accepting. Returns false when the name cannot be had.
    bool start(const std::string& name);
    // Stops accepting and waits until every client has hung up. Clients must be closed first.
    void stop();

  private:
    void acceptClients();
    static void serveClient(int fd);

    int mListenFd = -1;
    std::thread mAcceptor;
    std::vector<std::thread> mServers;  // touched by the acceptor only, until stop() joins it
};

class RawClient {
  public:
    RawClient() = default;
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connect(const std::string& name);
    // Sends `size` bytes and reads the framed answer into `response`; true when a response header and a
    // body of `size` bytes came.
    bool roundTrip(const unsigned char* request, unsigned char* response, int size);

  private:
    int mFd = -1;
};
