"""varnoobex pty as a Linux serial script uses it: through pyserial.

Starts the program as a script does (standard input /dev/null, a --link to wait for,
the first line parsed), opens the link with pyserial at a set speed and timeouts, and
checks, each within a time limit:

  loopback  BYTES bytes written in 4 KiB writes while a second thread reads them back,
            identical; prints the rate each way (the bridge's throughput figure)
  obex      CONNECT, a PUT over several packets, a GET of it back, DISCONNECT, with
            every response byte for byte as the phone model sends it

then ends the program with SIGTERM and checks that it ended clean and took its link.

usage: /usr/bin/python3 pyserial_bridge.py PROGRAM [loopback|obex] [--bytes N]
                                           [--speed full|high]
Exit status 0 when every check held; the failure otherwise.
"""
import argparse
import os
import random
import select
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

import serial

START_LIMIT = 30      # seconds for the program to print its first line
END_LIMIT = 30        # seconds for it to end after SIGTERM
CHUNK = 4096
WINDOW = 256 * 1024   # bytes the loopback writer may be ahead of its reader


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


class Bridge:
    """The program running `pty` with a link, as a script starts it."""

    def __init__(self, program, phone, speed, link):
        self.link = link
        self.proc = subprocess.Popen(
            [program, "pty", "--phone", phone, "--speed", speed, "--link", link],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def ready(self):
        """Waits for the first line, which names the terminal the link points at."""
        self.first = self._line(time.monotonic() + START_LIMIT)
        check(self.first.startswith("pty: COM5=/dev/pts/"),
              "first line %r, standard error %r" % (self.first, self._error()))
        check(os.readlink(self.link) == self.first.split("=", 1)[1],
              "%s does not point at the terminal of %r" % (self.link, self.first))

    def expect(self, text, limit=10):
        """Waits for a line of output that holds `text`."""
        deadline = time.monotonic() + limit
        seen = []
        while not seen or text not in seen[-1]:
            seen.append(self._line(deadline))
            check(time.monotonic() < deadline and self.proc.poll() is None, "no line with %r in %d s: %r" % (text, limit, seen))

    def _line(self, deadline):
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                return line.decode(errors="replace")
            byte = os.read(self.proc.stdout.fileno(), 1)
            if not byte:
                break
            line += byte
        return line.decode(errors="replace").rstrip("\n")

    def _error(self):
        if self.proc.poll() is None:
            return "(still running)"
        return self.proc.stderr.read().decode(errors="replace")

    def end(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            out, err = self.proc.communicate(timeout=END_LIMIT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise Failure("the program did not end within %d s of SIGTERM" % END_LIMIT)
        out = out.decode(errors="replace")
        check(self.proc.returncode == 0,
              "exit status %d\n%s%s" % (self.proc.returncode, out, err.decode(errors="replace")))
        check("stopping (SIGTERM)" in out and "the verifier saw no violation" in out, out)
        check(not os.path.lexists(self.link), "the link is still there after the end")
        return out

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def loopback(port, length):
    """Writes `length` bytes in 4 KiB writes while a thread reads them back.

    The writer keeps at most WINDOW bytes ahead of the reader: the loopback phone echoes
    at once, and what the driver's receive ring (1,024,000 bytes) cannot hold while the
    reader is held up (a loaded machine) is lost, as on a serial port without flow
    control.
    """
    data = random.Random(length).randbytes(length)
    limit = max(20.0, length / 200e3)     # far slower than the bridge ever is
    received = bytearray()
    progress = threading.Condition()

    def reader():
        deadline = time.monotonic() + limit
        while len(received) < length and time.monotonic() < deadline:
            piece = port.read(min(CHUNK * 16, length - len(received)))
            with progress:
                received.extend(piece)
                progress.notify()

    start = time.monotonic()
    thread = threading.Thread(target=reader)
    thread.start()
    for at in range(0, length, CHUNK):
        with progress:
            if not progress.wait_for(lambda: at - len(received) < WINDOW, timeout=limit):
                break
        port.write(data[at:at + CHUNK])
    thread.join()
    took = time.monotonic() - start
    check(len(received) == length, "%d of %d bytes came back within %.0f s" % (len(received), length, limit))
    if received != data:
        raise Failure("the bytes came back changed (first at %d)"
                      % next(i for i in range(length) if received[i] != data[i]))
    print("loopback: %d bytes each way in %.2f s (%.1f KB/s each way)" % (length, took, length / took / 1000))


def packet(code, body=b""):
    return struct.pack(">BH", code, 3 + len(body)) + body


def name_header(name):
    text = (name + "\0").encode("utf-16-be")
    return struct.pack(">BH", 0x01, 3 + len(text)) + text


def bytes_header(hid, data):
    return struct.pack(">BH", hid, 3 + len(data)) + data


def response(port):
    head = port.read(3)
    check(len(head) == 3, "no response (%r)" % head)
    length = struct.unpack(">H", head[1:])[0]
    rest = port.read(length - 3)
    check(len(rest) == length - 3, "a response cut short")
    return head + rest


def exchange(port, request, expected, what):
    port.write(request)
    got = response(port)
    check(got == expected, "%s: response %s, expected %s" % (what, got.hex(), expected.hex()))


def obex(port, length):
    """CONNECT to the inbox, PUT, GET back, DISCONNECT, each response exactly."""
    max_packet = 0x2000
    exchange(port, packet(0x80, struct.pack(">BBH", 0x10, 0, max_packet)),
             packet(0xA0, struct.pack(">BBH", 0x10, 0, max_packet)), "CONNECT")
    data = random.Random(length).randbytes(length)
    name = name_header("bridge.bin")
    first = name + struct.pack(">BI", 0xC3, length)
    room = max_packet - 3 - 3
    at = 0
    while True:
        head = first if at == 0 else b""
        piece = data[at:at + room - len(head)]
        at += len(piece)
        last = at == length
        request = packet(0x82 if last else 0x02, head + bytes_header(0x49 if last else 0x48, piece))
        exchange(port, request, packet(0xA0 if last else 0x90), "PUT at %d" % at)
        if last:
            break
    # The phone answers a GET with the Length, then as much Body as each packet holds.
    got = bytearray()
    request = packet(0x83, name)
    while True:
        port.write(request)
        answer = response(port)
        code, headers = answer[0], answer[3:]
        check(code in (0x90, 0xA0), "GET: response %s" % answer[:16].hex())
        if not got:
            check(headers[:5] == struct.pack(">BI", 0xC3, length), "GET: Length %s" % headers[:5].hex())
            headers = headers[5:]
        body_id = 0x49 if code == 0xA0 else 0x48
        check(headers[0] == body_id and struct.unpack(">H", headers[1:3])[0] == len(headers),
              "GET: %s rather than one %s header" % (headers[:3].hex(), "End of Body" if code == 0xA0 else "Body"))
        got.extend(headers[3:])
        if code == 0xA0:
            break
        request = packet(0x83)
    check(got == data, "GET: %d bytes came back, %s" % (len(got), "changed" if len(got) == length else "not all"))
    exchange(port, packet(0x81), packet(0xA0), "DISCONNECT")
    print("obex: CONNECT, PUT and GET of %d bytes, DISCONNECT: every response as expected" % length)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("exchange", nargs="?", default="both", choices=["loopback", "obex", "both"])
    parser.add_argument("--bytes", type=int, default=0)
    parser.add_argument("--speed", default="high", choices=["full", "high"])
    args = parser.parse_args()
    runs = {"loopback": (loopback, args.bytes or 4_000_000), "obex": (obex, args.bytes or 200_000)}
    with tempfile.TemporaryDirectory() as folder:
        for kind in ["loopback", "obex"] if args.exchange == "both" else [args.exchange]:
            run, length = runs[kind]
            bridge = Bridge(args.program, kind, args.speed, os.path.join(folder, "phone"))
            try:
                bridge.ready()
                with serial.Serial(bridge.link, baudrate=57600, timeout=5, write_timeout=20) as port:
                    bridge.expect("COM5: line settings 57600 8N1 -> SetCommState ok")
                    run(port, length)
                bridge.end()
            except (Failure, serial.SerialException) as failure:
                print("FAIL: %s: %s" % (kind, failure))
                return 1
            finally:
                bridge.kill()
    return 0


if __name__ == "__main__":
    sys.exit(main())
