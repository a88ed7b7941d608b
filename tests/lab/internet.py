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
#   internet.py keep N DIR            N connections, kept open, as many through
#                                     each ISP: prints the ISP of each, then
#                                     for each file DIR/ask.K (K = 1, 2, ...)
#                                     asks all of them again at once and
#                                     prints the answers, "lost>ISP" for one
#                                     not answered within 2 s and replaced by
#                                     a new connection through ISP; ends when
#                                     DIR/end exists
#   internet.py udp ISP SECONDS [STOP]  one UDP flow (one source port) to
#                                     the echo port, a datagram every 20 ms,
#                                     from a port whose flow ISP answered
#                                     first ("any": the first port). Prints
#                                     "TIME ISP" per answer (Unix time)
#   internet.py rate R SECONDS [STOP]  R new connections a second: prints
#                                     "TIME ISP MS PORT" per connection: the
#                                     time it started, who answered ("lost"
#                                     when none did within 2 s), after how
#                                     long, and its source port
#   (udp and rate end early once the file STOP exists)
#   internet.py after FROM TO FILE    of a rate run's connections started
#                                     from FROM to TO: "N started F failed"
#   internet.py moved TIME ISP FILE   of a udp run: the ms from TIME to the
#                                     first answer after it from another ISP
#                                     than ISP ("never" when none came)
#
# The server also answers UDP on port 5000: every datagram with the ISP's
# name. The ISPs, the router and the client share the machine's clock, so
# the times compare with those of "ip -ts monitor" in any namespace.

import os
import select
import selectors
import socket
import sys
import threading
import time

SERVER = ("198.18.0.1", 80)
ECHO = ("198.18.0.1", 5000)
ISPS = ("u1", "u2", "u3")


def serve(name):
    answer = name.encode() + b"\n"
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(ECHO)
    threading.Thread(target=echo, args=(name, udp), daemon=True).start()
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


def greeted():
    """A new connection and the ISP that greets it, or (None, "lost")."""
    s, lines = connect()
    try:
        name = lines.readline().strip() if s else ""
    except OSError:
        name = ""
    if name in ISPS:
        return s, name
    if s:
        s.close()
    return None, "lost"


def keep(n, folder):
    quota, held = -(-n // len(ISPS)), []
    for _ in range(20 * n):
        if len(held) == n:
            break
        s, name = greeted()
        if s and sum(h[1] == name for h in held) < quota:
            held.append([s, name])
        elif s:
            s.close()
    print(*(name for _, name in held), flush=True)
    k = 1
    while not os.path.exists(os.path.join(folder, "end")):
        if os.path.exists(os.path.join(folder, "ask.%d" % k)):
            print(*asked(held), flush=True)
            k += 1
        time.sleep(0.05)


def asked(held):
    """Asks every held connection at once; replaces those that stay silent."""
    replies = {}
    for s, _ in held:
        try:
            s.sendall(b"again\n")
            replies[s] = b""
        except (OSError, AttributeError):
            pass
    end = time.time() + 2
    while time.time() < end:
        waiting = [s for s, got in replies.items() if not got.endswith(b"\n")]
        if not waiting:
            break
        for s in select.select(waiting, [], [], max(0.0, end - time.time()))[0]:
            try:
                chunk = s.recv(64)
            except OSError:
                chunk = b""
            replies[s] = replies[s] + chunk if chunk else b"\n"
    answers = []
    for h in held:
        name = replies.get(h[0], b"").decode(errors="replace").strip()
        if name in ISPS:
            answers.append(name)
            continue
        if h[0]:
            h[0].close()
        h[0], h[1] = greeted()
        answers.append("lost>" + h[1])
    return answers


def echo(name, udp):
    while True:
        _, peer = udp.recvfrom(2048)
        try:
            udp.sendto(name.encode(), peer)
        except OSError:  # a DROP in OUTPUT: the answer is lost, the server stays
            pass


def udp_flow(isp):
    """A UDP socket whose flow ISP answered (any ISP for "any"), or None."""
    for _ in range(64):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.settimeout(0.5)
        try:
            s.sendto(b"which", ECHO)
            if isp in (s.recv(64).decode(), "any"):
                return s
        except OSError:
            pass
        s.close()
    return None


def running(end, stop):
    return time.time() < end and not (stop and os.path.exists(stop))


def udp(isp, seconds, stop):
    s = udp_flow(isp)
    if not s:
        sys.exit("no UDP flow through %s" % isp)
    print("# port", s.getsockname()[1], flush=True)
    s.setblocking(False)
    answers = []
    end, next_send, last = time.time() + seconds, time.time(), None
    while last is None or time.time() < last + 0.3:
        if last is None and not running(end, stop):
            last = time.time()
        if last is None and time.time() >= next_send:
            try:
                s.sendto(b"stream", ECHO)
            except OSError:
                pass
            next_send += 0.02
        ready, _, _ = select.select([s], [], [], max(0.0, min(next_send, time.time() + 0.05) - time.time()))
        while ready:
            try:
                answers.append((time.time(), s.recv(64).decode()))
            except OSError:
                break
    for stamp, who in answers:
        print("%.6f %s" % (stamp, who))


def rate(per_second, seconds, stop):
    """New connections at a steady rate, all watched by one selector."""
    sel = selectors.DefaultSelector()
    results, start, n, opened = [], time.time(), int(per_second * seconds), 0
    end = start + seconds

    def done(sock, began, who):
        results.append((began, who, time.time() - began, sock.getsockname()[1]))
        sel.unregister(sock)
        sock.close()

    while opened < n or sel.get_map():
        if opened < n and not running(end, stop):
            n = opened
        due = start + opened / per_second
        if opened < n and time.time() >= due:
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(SERVER)
            sel.register(s, selectors.EVENT_READ, [time.time(), b""])
            opened += 1
            continue
        wait = min(due, time.time() + 0.05) if opened < n else time.time() + 0.05
        for key, _ in sel.select(max(0.0, wait - time.time())):
            try:
                chunk = key.fileobj.recv(64)
            except OSError:
                chunk = b""
            key.data[1] += chunk
            if chunk and not key.data[1].endswith(b"\n"):
                continue
            name = key.data[1].decode(errors="replace").strip()
            done(key.fileobj, key.data[0], name if name in ISPS else "lost")
        for key in list(sel.get_map().values()):
            if time.time() - key.data[0] > 2:
                done(key.fileobj, key.data[0], "lost")
    for began, who, took, port in sorted(results):
        print("%.6f %s %.1f %d" % (began, who, took * 1000, port))


def after(start, end, path):
    rows = [line.split() for line in open(path) if not line.startswith("#")]
    late = [r for r in rows if start <= float(r[0]) < end]
    print(len(late), "started", sum(r[1] == "lost" for r in late), "failed")


def moved(stamp, isp, path):
    rows = [line.split() for line in open(path) if not line.startswith("#")]
    later = [float(r[0]) for r in rows if float(r[0]) >= stamp and r[1] != isp]
    print("%.0f" % ((later[0] - stamp) * 1000) if later else "never")


def main(args):
    if args[:1] == ["serve"] and len(args) == 2:
        serve(args[1])
    elif args[:1] == ["spread"] and len(args) >= 2:
        spread(int(args[1]), args[2:])
    elif args[:1] == ["per-source"] and len(args) >= 3:
        per_source(int(args[1]), args[2:])
    elif args[:1] == ["hold"] and len(args) == 3:
        hold(int(args[1]), args[2])
    elif args[:1] == ["keep"] and len(args) == 3:
        keep(int(args[1]), args[2])
    elif args[:1] == ["udp"] and len(args) in (3, 4):
        udp(args[1], float(args[2]), args[3] if len(args) == 4 else None)
    elif args[:1] == ["rate"] and len(args) in (3, 4):
        rate(float(args[1]), float(args[2]), args[3] if len(args) == 4 else None)
    elif args[:1] == ["after"] and len(args) == 4:
        after(float(args[1]), float(args[2]), args[3])
    elif args[:1] == ["moved"] and len(args) == 4:
        moved(float(args[1]), args[2], args[3])
    else:
        sys.exit("usage: internet.py serve NAME | spread N [SRC...] | per-source K SRC... | hold N FILE"
                 " | keep N DIR | udp ISP SECONDS [STOP] | rate R SECONDS [STOP] | after FROM TO FILE | moved TIME ISP FILE")


if __name__ == "__main__":
    main(sys.argv[1:])
