#!/usr/bin/env python3
# The lab's internet and its client.
#
# Every ISP namespace holds the same server address; its server answers each
# line of a connection (and the connection's start) with the ISP's name, so
# the client learns which uplink carried a connection from the answer alone.
#
#   internet.py serve NAME            the server of one ISP (port 80)
#   internet.py spread N [SRC...]     N new connections (sources taken in
#                                     turn); prints "u1 N", "u2 N", "u3 N",
#                                     then "lost N" for those not answered
#   internet.py per-source K SRC...   K connections from each source; prints
#                                     "SRC ISP ISP ..." a line each
#   internet.py hold N FILE           N connections, kept open: prints the
#                                     ISP that answered each, waits until FILE
#                                     exists, asks again on each connection
#                                     and prints the answers ("lost" for none)
#

import os
import socket
import sys
import threading
import time

SERVER = ("198.18.0.1", 80)
ISPS = ("u1", "u2", "u3")


def serve(name):
    answer = name.encode() + b"\n"
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(SERVER)
    srv.listen(512)

    def talk(conn):
        with conn:
            try:
                conn.sendall(answer)
                for _ in conn.makefile("rb"):
                    conn.sendall(answer)
            except OSError:
                pass

    while True:
        conn, _ = srv.accept()
        threading.Thread(target=talk, args=(conn,), daemon=True).start()


def connect(source=None):
    """Opens one connection; returns (socket, lines) or (None, None)."""
    try:
        s = socket.create_connection(SERVER, timeout=1, source_address=(source, 0) if source else None)
        return s, s.makefile("r")
    except OSError:
        return None, None


def ask(source=None):
    """The ISP that answers one new connection, or "lost"."""
    s, lines = connect(source)
    if not s:
        return "lost"
    try:
        with s:
            name = lines.readline().strip()
            return name if name in ISPS else "lost"
    except OSError:
        return "lost"


def spread(n, sources):
    counts = dict.fromkeys(ISPS + ("lost",), 0)
    for i in range(n):
        counts[ask(sources[i % len(sources)] if sources else None)] += 1
    for name, count in counts.items():
        print(name, count)


def per_source(k, sources):
    for source in sources:
        print(source, *(ask(source) for _ in range(k)))


def hold(n, flag):
    held = [connect() for _ in range(n)]
    print(*(lines.readline().strip() if s else "lost" for s, lines in held), flush=True)
    while not os.path.exists(flag):
        time.sleep(0.05)
    again = []
    for s, lines in held:
        try:
            s.sendall(b"again\n")
            again.append(lines.readline().strip() or "lost")
        except (OSError, AttributeError):
            again.append("lost")
    print(*again, flush=True)


def main(args):
    if args[:1] == ["serve"] and len(args) == 2:
        serve(args[1])
    elif args[:1] == ["spread"] and len(args) >= 2:
        spread(int(args[1]), args[2:])
    elif args[:1] == ["per-source"] and len(args) >= 3:
        per_source(int(args[1]), args[2:])
    elif args[:1] == ["hold"] and len(args) == 3:
        hold(int(args[1]), args[2])
    else:
        sys.exit("usage: internet.py serve NAME | spread N [SRC...] | per-source K SRC... | hold N FILE")


if __name__ == "__main__":
    main(sys.argv[1:])
