#!/usr/bin/env python3
"""Writes the seed corpus under fuzz/corpus/<target>/ (of the targets named, or all): valid, truncated and
malformed inputs."""

import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
MAGIC = 0x00112233
NOTIFY, RESPONSE, NOTIFY_DATA = 0, 1, 2


def header(ident, msg, length, magic=MAGIC):
    return struct.pack("<IiIIqiI", magic, ident, msg, 0, 1700000000000000, length, 0)


def response(body):
    return header(RESPONSE, 0, len(body)) + body


def notify_data(msg, body):
    return header(NOTIFY_DATA, msg, len(body)) + body


def connection_seeds():
    # The last byte is the capacity of the caller's recv() buffer.
    seeds = {
        "response": (64, response(b"hello")),
        "empty_response": (0, response(b"")),
        "response_too_long": (4, response(b"0123456789") + response(b"ok")),
        "notifications": (32, header(NOTIFY, 7, 42) + notify_data(9, b"abc") + response(b"x")),
        "empty_data_notification": (8, notify_data(1, b"") + response(b"y")),
        "truncated_header": (16, header(RESPONSE, 0, 4)[:20]),
        "truncated_body": (16, header(RESPONSE, 0, 100) + b"short"),
        "bad_magic": (16, header(NOTIFY, 1, 1, magic=0xDEADBEEF) + response(b"z")),
        "unknown_id": (16, header(5, 0, 0) + response(b"z")),
        "negative_lengths": (16, header(NOTIFY_DATA, 3, -1) + header(RESPONSE, 0, -8) + response(b"q")),
    }
    return {name: stream + bytes([capacity]) for name, (capacity, stream) in seeds.items()}


class Script:
    """A listener script as FuzzedDataProvider reads it: operation and length bytes from the end backwards,
    the bytes of the writes from the front."""

    def __init__(self, ops=b"", payload=b""):
        self.ops, self.payload = ops, payload

    def __add__(self, other):
        return Script(self.ops + other.ops, self.payload + other.payload)

    def bytes(self):
        return self.payload + self.ops[::-1]


def op(code, argument=0):
    return Script(bytes([(argument << 4) | code]))


(CONNECT, WRITE, CLOSE, HALF_CLOSE, READ, SERVER_NOTIFY, SERVER_CLOSE, RESTART, REUSE_CLOSED, NOTIFY_ALL,
 LIMIT_DESCRIPTORS) = range(11)


def write(slot, data):
    return op(WRITE, slot) + Script(bytes([len(data)]), data)


def listener_seeds():
    # Request bytes choose the callback's reply by their first byte: echo, empty response, value
    # notification, data notification, close, nothing, a push to every client; 0xb1 asks for a response
    # larger than a client socket holds.
    seeds = {
        "echo": op(CONNECT) + write(0, b"\x00hello") + op(READ),
        "every_reply": sum((write(0, bytes([i]) + b"req") + op(READ) for i in range(7)), op(CONNECT)),
        "two_clients": op(CONNECT, 0) + op(CONNECT, 1) + write(0, b"\x00a") + write(1, b"\x03b") + op(READ, 0)
        + op(READ, 1) + op(CLOSE, 0) + write(1, b"\x00c") + op(READ, 1),
        "half_close": op(CONNECT) + write(0, b"\x01x") + op(HALF_CLOSE) + op(READ),
        "server_side": op(CONNECT) + op(CONNECT, 1) + op(SERVER_NOTIFY, 3) + op(SERVER_NOTIFY, 4)
        + op(SERVER_CLOSE, 1) + op(READ) + op(READ, 1),
        "restart": op(CONNECT) + write(0, b"\x00a") + op(RESTART) + op(CONNECT, 1) + write(1, b"\x00b") + op(READ, 1),
        "close_at_once": op(CONNECT) + op(CLOSE) + op(CONNECT) + write(0, b"\x04bye") + op(READ),
        "long_request": op(CONNECT) + write(0, b"\x00" + bytes(range(1, 255))) + op(READ),
        "reuse_closed": op(CONNECT) + op(SERVER_CLOSE) + op(CLOSE) + op(CONNECT, 1) + op(REUSE_CLOSED) + op(READ, 1),
        "never_reads": op(CONNECT) + op(CONNECT, 1) + write(0, b"\xb1big") + write(0, b"\xb1big")
        + write(1, b"\x00ok") + op(READ, 1) + op(REUSE_CLOSED) + op(READ, 0),
        "push_to_all": op(CONNECT) + op(CONNECT, 1) + op(NOTIFY_ALL, 5) + write(0, b"\x06all") + op(READ) + op(READ, 1),
        "descriptor_limit": op(CONNECT) + op(LIMIT_DESCRIPTORS, 0) + op(CONNECT, 1) + op(CONNECT, 2)
        + write(0, b"\x00still served") + op(READ) + op(CLOSE, 1),
    }
    return {name: script.bytes() for name, script in seeds.items()}


def record(kind, phys, size, key, shmid, length=24):
    return struct.pack("<iiIiii", kind, length, phys, size, key, shmid)


def numbers(creator0, creator1, phys, phys_size):
    """The four numbers as FuzzedDataProvider takes them from the end: the first one last, each read
    little-endian and offset by the type's minimum."""
    signed = [(creator0 + 2**31) % 2**32, (creator1 + 2**31) % 2**32, phys, (phys_size + 2**31) % 2**32]
    return b"".join(struct.pack("<I", raw) for raw in reversed(signed))


def sharememory_seeds():
    creators = (4096, 100)
    physical = (0x80000000, 4096)
    return {
        "attach_both": record(0, 0, 4096, 0, 0) + record(0, 0, 100, 0, 1) + numbers(*creators, *physical),
        "no_creator": record(0, 0, 4096, 0, 0) + numbers(0, -5, *physical),
        "negative_id": record(0, 0, 4096, 0, -1) + numbers(*creators, *physical),
        "physical": record(1, 0x1001, 10, -1, -1) + numbers(*creators, 0x1001, 10),
        "unknown_type": record(7, 0, 1, 0, 0) + record(-1, 0, 0, 0, 0) + numbers(*creators, *physical),
        "odd_sizes": record(0, 0, -1, 0, 0) + record(0, 0, 0x7FFFFFFF, 0, 1)
        + record(1, 0xFFFFF000, 0x7FFFFFFF, -1, -1) + numbers(*creators, *physical),
        "truncated_record": record(0, 0, 4096, 0, 0)[:10] + numbers(*creators, *physical),
    }


def main():
    for target, seeds in (("connection_fuzz", connection_seeds()), ("listener_fuzz", listener_seeds()),
                          ("sharememory_fuzz", sharememory_seeds())):
        if len(sys.argv) > 1 and target not in sys.argv[1:]:
            continue
        directory = os.path.join(HERE, "corpus", target)
        os.makedirs(directory, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(directory, name), "wb") as seed:
                seed.write(data)


if __name__ == "__main__":
    main()
