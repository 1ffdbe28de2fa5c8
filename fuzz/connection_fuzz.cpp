// A peer writes arbitrary bytes to a VORNA::Connection and hangs up. Direct mode reads the stream through
// recv(), notifier mode through the receive thread. Neither may crash, write past the caller's buffer,
// leak, or block once the peer has gone; what they deliver must be what the stream holds.
//
// Input: the last byte is the capacity of the caller's recv() buffer (twice it, plus 1 for a recv() with a
// deadline), the rest is the stream.

#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "vorna/messaging.h"

namespace {

// The peer writes the whole stream before anybody reads: it must fit in the socket buffer.
const size_t kMaxStream = 64 * 1024;
// The longest data notification body a server sends; a longer length ends the connection.
const int32_t kMaxNotifyDataLength = 255;

std::string gName;
int gListening = -1;

// What one recv() returns: the result and, for a body, its bytes.
using Received = std::pair<int, std::string>;
// What one notification callback receives: the code, the length, whether data came, and its bytes.
using Notified = std::tuple<unsigned int, int, bool, std::string>;

// What the stream gives, read until a header that leaves no way to find the next one (a wrong magic, an
// unknown id, a length no server sends). In direct mode every recv() reads one message, takes responses
// only and fails on anything else; in notifier mode the receive thread delivers the notifications, and
// only a response with a negative length reaches the caller's recv() as a failure.
void expect(const uint8_t* data, size_t size, int capacity, bool notifier, std::vector<Received>* responses,
            std::vector<Notified>* notifications) {
    FuzzedDataProvider stream(data, size);
    MsgHeader header;
    while (stream.remaining_bytes() >= sizeof(header)) {
        stream.ConsumeData(&header, sizeof(header));
        const bool magic = header.magic == MSG_HEADER_MAGIC;
        const bool framed =
            magic &&
            (header.id == HEADER_ID_NOTIFY || (header.id == HEADER_ID_RESPONSE && header.len >= 0) ||
             (header.id == HEADER_ID_NOTIFY_DATA && header.len >= 0 && header.len <= kMaxNotifyDataLength));
        if (!framed) {
            if (!notifier || (magic && header.id == HEADER_ID_RESPONSE))
                responses->emplace_back(-1, "");
            return;
        }
        const bool hasData = header.id != HEADER_ID_NOTIFY;
        const size_t length = hasData ? static_cast<size_t>(header.len) : 0;
        const std::string body = stream.ConsumeBytesAsString(length);
        if (header.id == HEADER_ID_RESPONSE) {
            // A body longer than the buffer fails and is dropped from the stream; one cut short fails.
            const bool whole = header.len <= capacity && body.size() == length;
            responses->push_back(whole ? Received(header.len, body) : Received(-1, ""));
        } else if (!notifier)  // a direct recv() fails on a notification, whose body goes with it
            responses->emplace_back(-1, "");
        else if (body.size() == length)
            notifications->emplace_back(header.msg, header.len, hasData, body);
    }
}

// Runs on the receive thread; the fuzz thread reads the list after the thread has been joined.
void recordNotification(void* ctx, unsigned int msg, void* data, int len) {
    const char* bytes = static_cast<const char*>(data);
    static_cast<std::vector<Notified>*>(ctx)->emplace_back(
        msg, len, data != NULL, data != NULL && len > 0 ? std::string(bytes, static_cast<size_t>(len)) : "");
    free(data);
}

// One recv() into a buffer of exactly `capacity` bytes, so that a write past it is caught. The stream is
// all there and then ends, so a bounded recv() must give the same results as an unbounded one.
Received receiveOne(VORNA::Connection* connection, int capacity, bool bounded) {
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[static_cast<size_t>(capacity)]);
    const int result =
        bounded ? connection->recv(buffer.get(), capacity, 20000) : connection->recv(buffer.get(), capacity);
    FUZZ_CHECK(result <= capacity);
    const char* bytes = reinterpret_cast<const char*>(buffer.get());
    return Received(result, result > 0 ? std::string(bytes, static_cast<size_t>(result)) : "");
}

// The peer accepts the connection that the constructor just made, writes the stream and hangs up.
void fuzzMode(const uint8_t* data, size_t size, int capacity, bool bounded, bool notifier) {
    std::vector<Received> expected, got;
    std::vector<Notified> expectedNotifications, notifications;
    expect(data, size, capacity, notifier, &expected, &expectedNotifications);
    {
        VORNA::Connection connection(gName.c_str(), 0, notifier ? recordNotification : NULL, &notifications);
        const int peer = accept4(gListening, NULL, NULL, SOCK_CLOEXEC);
        FUZZ_CHECK(peer >= 0);
        raw_peer::sendAll(peer, data, size);
        close(peer);
        for (size_t i = 0; i < expected.size(); ++i)
            got.push_back(receiveOne(&connection, capacity, bounded));
        // Only the end of the stream is left: it must wake the caller, again and again.
        FUZZ_CHECK(receiveOne(&connection, capacity, bounded).first == -1);
        FUZZ_CHECK(receiveOne(&connection, capacity, bounded).first == -1);
    }
    FUZZ_CHECK(got == expected);
    FUZZ_CHECK(notifications == expectedNotifications);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceStdout();
    gName = "vorna-fuzz-connection-" + std::to_string(getpid());
    gListening = raw_peer::listenOn(gName);
    FUZZ_CHECK(gListening >= 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size - 1 > kMaxStream)
        return -1;
    // The low bit picks the bounded recv(); the rest is the capacity.
    const uint8_t choice = data[size - 1];
    const int descriptors = raw_peer::openDescriptorCount();
    for (bool notifier : {false, true})
        fuzzMode(data, size - 1, choice >> 1, (choice & 1) != 0, notifier);
    FUZZ_CHECK(raw_peer::openDescriptorCount() == descriptors);
    return 0;
}
