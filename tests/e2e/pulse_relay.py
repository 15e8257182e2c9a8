"""A relay between qztap and a sound server's socket that passes the native protocol's
packets on as they come, except those a test's rule holds back, drops or rewrites: a way
to make a server's messages come in an order it is free to choose but rarely does, or
to have it fail the way a server was seen to. Shared memory is off for the clients it
serves, so that audio travels in packets too, and the relay keeps the audio the server
sent the first client: a server under load sometimes puts a quantum of zeros into one
stream, in place of what was played, and qztap is held to what it was sent."""

import itertools
import select
import socket
import struct
import sys
import tempfile
import threading
import time

from soundserver import CHANNELS, produced

DESCRIPTOR = struct.Struct(">5I")  # payload length, channel, offset (two words), flags
CONTROL = 0xFFFFFFFF               # the channel of commands and replies
ERROR, REPLY, CREATE_RECORD_STREAM, DELETE_RECORD_STREAM, GET_SERVER_INFO = 0, 2, 5, 6, 20
RECORD_STREAM_KILLED = 65
INPUT_OUTPUT_ERROR = 25
# Where a rule sends a packet.
TO_CLIENT, TO_SERVER = "to the client", "to the server"
# The first connection made through a relay: qztap's own. Those after it are qztap's looks
# at the default, each on a connection of its own.
QZTAP_CONNECTION = 0


class Packet:
    def __init__(self, descriptor, payload):
        self.channel = DESCRIPTOR.unpack(descriptor)[1]
        self.descriptor, self.payload = descriptor, payload

    @property
    def command(self):
        """The command of a control packet (a tag-struct led by two 32-bit values), else None."""
        return struct.unpack(">I", self.payload[1:5])[0] if self.channel == CONTROL else None

    @property
    def tag(self):
        return struct.unpack(">I", self.payload[6:10])[0]

    def data(self):
        return self.descriptor + self.payload

    def with_default_sink(self, name):
        """A server-info reply naming `name` as the default sink: the sixth field, after
        four strings and a sample format (tag-structs mark strings 't'…NUL, none 'N')."""
        at = 10  # after the command and the tag
        for _ in range(4):
            at = self.payload.index(b"\0", at) + 1 if self.payload[at:at + 1] == b"t" else at + 1
        at += 7  # 'a', format, channels, rate
        end = self.payload.index(b"\0", at) + 1 if self.payload[at:at + 1] == b"t" else at + 1
        payload = self.payload[:at] + b"t" + name.encode() + b"\0" + self.payload[end:]
        header = list(DESCRIPTOR.unpack(self.descriptor))
        header[0] = len(payload)
        return Packet(DESCRIPTOR.pack(*header), payload)


def onward(packet, from_client):
    """A rule's answer for a packet passed on where it was going."""
    return [(TO_SERVER if from_client else TO_CLIENT, packet)]


def error_reply(tag, code):
    """The server's answer to request `tag`: failed with error `code`."""
    payload = struct.pack(">cIcIcI", b"L", ERROR, b"L", tag, b"L", code)
    return Packet(DESCRIPTOR.pack(len(payload), CONTROL, 0, 0, 0), payload)


def _read_packet(end):
    header = _read_exactly(end, DESCRIPTOR.size)
    if header is None:
        return None
    payload = _read_exactly(end, DESCRIPTOR.unpack(header)[0])
    return None if payload is None else Packet(header, payload)


def _read_exactly(end, size):
    data = b""
    while len(data) < size:
        chunk = end.recv(size - len(data))
        if not chunk:
            return None
        data += chunk
    return data


class Relay:
    """Listens beside `server`; `env` reaches the server through it. Every packet of the
    n-th connection made through it (from 0, QZTAP_CONNECTION) goes through
    `rule(n, packet, from_client)`, which gives back the packets to send as (TO_CLIENT or
    TO_SERVER, packet) pairs, or None to hang up on both ends, as a server dying there;
    the default passes everything on."""

    def __init__(self, server, on_connect=None):
        self.path = tempfile.mktemp(prefix="relay-", dir=server.base)
        config = f"{server.base}/relay-client.conf"
        with open(config, "w") as f:
            f.write("enable-shm = no\n")
        self.env = dict(server.env, PULSE_SERVER="unix:" + self.path, PULSE_CLIENTCONFIG=config)
        self.upstream, self.on_connect, self.clients = server.socket, on_connect, {}
        self.audio = bytearray()  # the audio of qztap's streams, in order
        self.rule = lambda connection, packet, from_client: onward(packet, from_client)
        self.listener = socket.socket(socket.AF_UNIX)
        self.listener.bind(self.path)
        self.listener.listen(8)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        for number in itertools.count():
            client = self.listener.accept()[0]
            if self.on_connect and number == QZTAP_CONNECTION:
                credentials = client.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12)
                self.on_connect(int.from_bytes(credentials[:4], sys.byteorder))  # pid, uid, gid
            upstream = socket.socket(socket.AF_UNIX)
            upstream.connect(self.upstream)
            self.clients[number] = (client, threading.Lock())
            threading.Thread(target=self._serve, args=(number, client, upstream), daemon=True).start()

    def produced(self, stereo, within=10):
        """What the server made of the played `stereo` on qztap's streams (see
        soundserver.produced), once their audio holds its end or `within` has passed."""
        deadline, end = time.monotonic() + within, stereo[-256 * CHANNELS:].tobytes()
        while end not in self.audio and time.monotonic() < deadline:
            time.sleep(0.05)
        return produced(bytes(self.audio), stereo)

    def to_client(self, number, packets):
        """Sends `packets` to the client of the n-th connection, from any thread."""
        client, lock = self.clients[number]
        with lock:
            for packet in packets:
                client.sendall(packet.data())

    def _serve(self, number, client, upstream):
        with client, upstream:
            try:
                while True:
                    for source in select.select([client, upstream], [], [])[0]:
                        packet = _read_packet(source)
                        if (packet and number == QZTAP_CONNECTION and source is upstream and
                                packet.channel != CONTROL):
                            self.audio += packet.payload
                        sends = packet and self.rule(number, packet, source is client)
                        if sends is None:
                            return
                        for destination, sent in sends:
                            if destination == TO_CLIENT:
                                self.to_client(number, [sent])
                            else:
                                upstream.sendall(sent.data())
            except OSError:  # the other end is gone
                pass
