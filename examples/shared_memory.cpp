// Shared memory between two processes: the creator of a System V segment publishes its 24-byte record,
// a peer process attaches from its own copy of it and writes into the memory, and the creator reads it.
// On a device the two are separate programs that pass the record by their own means (a message, a
// file); here the peer is a forked child and the record travels through a pipe.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vorna/vorna.h>

namespace {

bool writeAll(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool readAll(int fd, void* data, size_t size) {
    char* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = read(fd, bytes, size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

int waitForPeer(pid_t peer) {
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(peer, &status, 0);
    } while (waited < 0 && errno == EINTR);
    return waited == peer && WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// The creator: makes the segment, publishes its record to the peer and reads what the peer wrote.
int runCreator(int toPeer, pid_t peerPid) {
    // A System V segment shared with another process: the creator publishes its Info_t record...
    VORNA::ShareMemory shared(4096, false);
    if (shared.data() == NULL) {
        fprintf(stderr, "creator: no shared memory\n");
        close(toPeer);  // the peer reads the end of the pipe and gives up
        waitForPeer(peerPid);
        return 1;
    }
    VORNA::ShareMemory::Info_t record = *shared.info();  // send these 24 bytes to the peer
    const bool sent = writeAll(toPeer, &record, sizeof record);
    close(toPeer);
    const int peerStatus = waitForPeer(peerPid);
    if (!sent || peerStatus != 0)
        return 1;
    printf("creator: the peer wrote \"%s\"\n", reinterpret_cast<const char*>(shared.data()));
    return 0;  // the destructor detaches and removes the segment
}

// The peer: attaches from its copy of the record and leaves a greeting in the memory.
int runPeer(int fromCreator) {
    VORNA::ShareMemory::Info_t record;
    if (!readAll(fromCreator, &record, sizeof record)) {
        fprintf(stderr, "peer: no record from the creator\n");
        return 1;
    }
    // ...and the peer attaches from its copy.
    VORNA::ShareMemory peer(&record, false);
    if (peer.data() == NULL || peer.size() < 6) {
        fprintf(stderr, "peer: cannot attach segment %d\n", record.shmid);
        return 1;
    }
    memcpy(peer.data(), "hello", 6);
    return 0;  // the destructor detaches
}

}  // namespace

int main() {
    int channel[2];
    if (pipe(channel) != 0) {
        perror("pipe");
        return 1;
    }
    const pid_t peer = fork();
    if (peer < 0) {
        perror("fork");
        return 1;
    }
    if (peer == 0) {
        close(channel[1]);
        const int status = runPeer(channel[0]);
        close(channel[0]);
        exit(status);
    }
    close(channel[0]);
    return runCreator(channel[1], peer);
}
