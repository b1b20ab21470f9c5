#!/usr/bin/env python3
"""Makes one controller behind an H4 Unix socket advertise a 128-bit service UUID.

    tools/hci-advertise.py /tmp/btv/bt-server-le a0a489971097bba1b343eddd8f50f6ac

Resets the controller, sets connectable advertising every 200 ms with the flags (LE General
Discoverable, no BR/EDR) and the complete list of that one UUID, and switches advertising
off and on again every 200 ms until Ctrl-C: BlueZ's emulator tells scanners about an
advertiser only at the moment advertising is switched on. Once a central has connected the
controller may refuse to switch it on; that is shown once and the loop goes on. Everything
else the controller sends (the link, its data) is left unanswered.
"""

import socket
import struct
import sys
import time

PERIOD_S = 0.2
ANSWER_LIMIT_S = 2.0


def parse_uuid(text):
    digits = text.replace("-", "")
    if len(digits) != 32:
        raise ValueError("a 128-bit UUID has 32 hex digits")
    # Written most significant byte first; on the air least significant first.
    return bytes.fromhex(digits)[::-1]


class Controller:
    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.pending = b""

    def _read_packet(self, deadline):
        """The next whole H4 packet; the emulator may split or join them across reads."""
        while True:
            packet = self._take_packet()
            if packet is not None:
                return packet
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("the controller did not answer")
            self.sock.settimeout(left)
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("the controller's socket closed")
            self.pending += chunk

    def _take_packet(self):
        data = self.pending
        if not data:
            return None
        kind = data[0]
        if kind == 0x04:  # event: code, length
            need = 3 + data[2] if len(data) >= 3 else None
        elif kind == 0x02:  # ACL: handle (2), length (2)
            need = 5 + struct.unpack_from("<H", data, 3)[0] if len(data) >= 5 else None
        else:
            raise ValueError("unexpected packet indicator 0x%02x" % kind)
        if need is None or len(data) < need:
            return None
        self.pending = data[need:]
        return data[:need]

    def command(self, ogf, ocf, params=b""):
        """Sends one command, in one write, and returns its status."""
        opcode = (ogf << 10) | ocf
        self.sock.sendall(struct.pack("<BHB", 0x01, opcode, len(params)) + params)
        deadline = time.monotonic() + ANSWER_LIMIT_S
        while True:
            packet = self._read_packet(deadline)
            if packet[0] != 0x04:
                continue
            code = packet[1]
            if code == 0x0E and struct.unpack_from("<H", packet, 4)[0] == opcode:
                return packet[6]  # Command Complete: status after credits and opcode
            if code == 0x0F and struct.unpack_from("<H", packet, 5)[0] == opcode:
                return packet[3]  # Command Status: status first


def main(argv):
    if len(argv) != 3:
        print("usage: %s <H4 socket path> <128-bit UUID>" % argv[0], file=sys.stderr)
        return 2
    try:
        uuid = parse_uuid(argv[2])
    except ValueError as error:
        print("bad UUID %r: %s" % (argv[2], error), file=sys.stderr)
        return 2
    controller = Controller(argv[1])

    def must(what, status):
        if status != 0:
            raise RuntimeError("%s failed with status 0x%02x" % (what, status))

    must("Reset", controller.command(0x03, 0x0003))
    interval = int(PERIOD_S / 0.000625)
    # Interval min and max, connectable undirected, public address, no peer, all channels,
    # no filter.
    parameters = struct.pack("<HHBBB6sBB", interval, interval, 0, 0, 0, bytes(6), 0x07, 0)
    must("LE Set Advertising Parameters", controller.command(0x08, 0x0006, parameters))
    data = bytes([2, 0x01, 0x06, 17, 0x07]) + uuid
    must("LE Set Advertising Data",
         controller.command(0x08, 0x0008, bytes([len(data)]) + data.ljust(31, b"\0")))
    must("LE Set Advertising Enable", controller.command(0x08, 0x000A, b"\x01"))
    print("advertising %s on %s; Ctrl-C ends it" % (argv[2], argv[1]), flush=True)

    refused = False
    while True:
        time.sleep(PERIOD_S)
        controller.command(0x08, 0x000A, b"\x00")
        status = controller.command(0x08, 0x000A, b"\x01")
        if status != 0 and not refused:
            print("the controller refuses to advertise now (status 0x%02x), most likely "
                  "because it is connected; trying on" % status, flush=True)
        refused = status != 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except KeyboardInterrupt:
        sys.exit(0)
    except (OSError, RuntimeError, ValueError) as error:
        print("hci-advertise: %s" % error, file=sys.stderr)
        sys.exit(1)
