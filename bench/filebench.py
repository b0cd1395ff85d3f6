#!/usr/bin/env python3
"""A simple file transfer client, standard library only, as a user might write one: logs
in, joins the static channel /files/, uploads a file and downloads it again over second
connections, reading and writing 1 MiB at a time. Prints the same RESULT line as
bench/filebench:

  filebench.py --tcp-port P --udp-port U --file IN --out OUT [--name NAME]
"""
import argparse
import os
import socket
import sys
import time

CHUNK = 1 << 20
TIMEOUT = 60


class Connection:
    """One command connection with a line reader; every wait is bounded by TIMEOUT."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.buffer = b""

    def send_line(self, line):
        self.sock.sendall(line.encode() + b"\r\n")

    def expect(self, word):
        """The next line starting with the word; other lines are skipped."""
        while True:
            lf = self.buffer.find(b"\n")
            if lf < 0:
                data = self.sock.recv(65536)
                if not data:
                    sys.exit("filebench.py: connection closed waiting for " + word)
                self.buffer += data
                continue
            line = self.buffer[:lf].rstrip(b"\r").decode(errors="replace")
            self.buffer = self.buffer[lf + 1:]
            first = line.split(" ", 1)[0]
            if first == word:
                return line
            if first in ("error", "filerejected"):
                sys.exit("filebench.py: waiting for %s: %s" % (word, line))


def param(line, name):
    for part in line.split(" "):
        if part.startswith(name + "="):
            return int(part[len(name) + 1:])
    sys.exit("filebench.py: no %s in %s" % (name, line))


def log_in(args):
    command = Connection(args.tcp_port)
    user_id = param(command.expect("welcome"), "userid")
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.settimeout(0.5)
    hello = bytes([1, 3, 6, 0, user_id & 0xFF, user_id >> 8])
    for _ in range(10):  # a datagram can be lost: the hello is repeated until answered
        udp.sendto(hello, ("127.0.0.1", args.udp_port))
        try:
            if udp.recv(64)[:1] == b"\x02":
                break
        except socket.timeout:
            pass
    else:
        sys.exit("filebench.py: no answer to the hello")
    udp.close()
    command.send_line('login protocol="3.4" nickname="pybench" serverpassword="" bandmode=0 framesize=320 '
                      'encodedframesize=40 fpp=1 version="bench"')
    command.expect("done")
    command.send_line('join channel="/files/"')
    command.expect("done")
    return command


def upload(command, args, size):
    command.send_line('regsendfile channel="/files/" filename="%s" filesize=%d' % (args.name, size))
    transfer = param(command.expect("fileaccepted"), "transferid")
    data = Connection(args.tcp_port)
    data.expect("welcome")
    data.send_line("sendfile transferid=%d" % transfer)
    data.expect("filedeliver")
    start = time.monotonic()
    with open(args.file, "rb") as f:
        while True:
            chunk = f.read(CHUNK)
            if not chunk:
                break
            data.sock.sendall(chunk)
    data.expect("filecompleted")
    seconds = time.monotonic() - start
    data.sock.close()
    return seconds


def download(command, args):
    command.send_line('regrecvfile channel="/files/" filename="%s"' % args.name)
    transfer = param(command.expect("fileaccepted"), "transferid")
    data = Connection(args.tcp_port)
    data.expect("welcome")
    data.send_line("recvfile transferid=%d" % transfer)
    size = param(data.expect("fileready"), "filesize")
    start = time.monotonic()
    data.send_line("filedeliver")
    with open(args.out, "wb") as f:
        received = len(data.buffer)  # bytes that came with the fileready line
        f.write(data.buffer)
        while received < size:
            chunk = data.sock.recv(min(CHUNK, size - received))
            if not chunk:
                sys.exit("filebench.py: download cut short")
            f.write(chunk)
            received += len(chunk)
    seconds = time.monotonic() - start
    data.sock.close()
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tcp-port", type=int, default=10300)
    parser.add_argument("--udp-port", type=int, default=10301)
    parser.add_argument("--file", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--name", default="pybench.bin")
    args = parser.parse_args()
    size = os.path.getsize(args.file)
    command = log_in(args)
    up = upload(command, args, size)
    os.sync()  # as bench/filebench: the download is not measured against the upload's writeback
    down = download(command, args)
    print("RESULT bytes=%d upload_seconds=%.3f upload_mbps=%.1f download_seconds=%.3f download_mbps=%.1f"
          % (size, up, size / up / 1e6 if up > 0 else 0, down, size / down / 1e6))


if __name__ == "__main__":
    main()
