#!/usr/bin/env python3
# The lab's internet and its client.
#
# Every ISP namespace holds the same server address; its server answers each
# line of a connection (and the connection's start) with the ISP's name, so
# the client learns which uplink carried a connection from the answer alone.
#
#   internet.py serve NAME            the server of one ISP (port 80)
#   internet.py spread N              N new connections; prints "u1 N",
#                                     "u2 N", "u3 N", then "lost N" for those
#                                     not answered
#   internet.py per-source K SRC...   K connections from each source; prints
#                                     "SRC ISP ISP ..." a line each
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

import concurrent.futures
import os
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


def named(line):
    """The ISP that a line of the server names, or "lost"."""
    name = line.decode(errors="replace").strip()
    return name if name in ISPS else "lost"


def greeted(source=None):
    """A new connection and the ISP that greets it, or (None, "lost")."""
    s = None
    try:
        s = socket.create_connection(SERVER, timeout=1, source_address=(source, 0) if source else None)
        name = named(s.makefile("rb").readline())
    except OSError:
        name = "lost"
    if s and name == "lost":
        s.close()
    return (s, name) if name != "lost" else (None, name)


def ask(source=None):
    """The ISP that answers one new connection, or "lost"."""
    s, name = greeted(source)
    if s:
        s.close()
    return name


def spread(n):
    counts = dict.fromkeys(ISPS + ("lost",), 0)
    for _ in range(n):
        counts[ask()] += 1
    for name, count in counts.items():
        print(name, count)


def per_source(k, *sources):
    for source in sources:
        print(source, *(ask(source) for _ in range(k)))


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


def answer(s, deadline):
    """The ISP that answers a question on a held connection by the deadline,
    or "lost"."""
    try:
        s.settimeout(max(0.001, deadline - time.time()))
        s.sendall(b"again\n")
        return named(s.makefile("rb").readline())
    except (OSError, AttributeError):
        return "lost"


def asked(held):
    """Asks every held connection at once: the ISP that answers each within
    2 s; a silent one is replaced by a new connection through the ISP it
    names: "lost>ISP"."""
    deadline = time.time() + 2
    with concurrent.futures.ThreadPoolExecutor(max(1, len(held))) as pool:
        answers = list(pool.map(lambda h: answer(h[0], deadline), held))
    for i, h in enumerate(held):
        if answers[i] == "lost":
            if h[0]:
                h[0].close()
            h[0], h[1] = greeted()
            answers[i] = "lost>" + h[1]
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


def udp(isp, seconds, stop=None):
    s = udp_flow(isp)
    if not s:
        sys.exit("no UDP flow through %s" % isp)
    print("# port", s.getsockname()[1], flush=True)
    answers, end, next_send = [], time.time() + seconds, time.time()
    # Sends until the end, then listens 0.3 s more for late answers.
    while running(end, stop) or time.time() < next_send + 0.3:
        if running(end, stop) and time.time() >= next_send:
            try:
                s.sendto(b"stream", ECHO)
            except OSError:
                pass
            next_send += 0.02
        s.settimeout(max(0.0, min(next_send, time.time() + 0.05) - time.time()))
        try:
            answers.append((time.time(), s.recv(64).decode()))
        except OSError:
            pass
    for stamp, who in answers:
        print("%.6f %s" % (stamp, who))


def rate(per_second, seconds, stop=None):
    """New connections at a steady rate, each in a thread of its own."""
    results, threads, start = [], [], time.time()

    def one(began):
        s = socket.socket()
        s.settimeout(2)
        try:
            s.connect(SERVER)
            s.settimeout(max(0.001, began + 2 - time.time()))
            who = named(s.makefile("rb").readline())
        except OSError:
            who = "lost"
        results.append((began, who, time.time() - began, s.getsockname()[1]))
        s.close()

    while True:
        time.sleep(max(0.0, start + len(threads) / per_second - time.time()))
        if not running(start + seconds, stop):
            break
        threads.append(threading.Thread(target=one, args=(time.time(),)))
        threads[-1].start()
    for thread in threads:
        thread.join()
    for began, who, took, port in sorted(results):
        print("%.6f %s %.1f %d" % (began, who, took * 1000, port))


def rows(path):
    return [line.split() for line in open(path) if not line.startswith("#")]


def after(start, end, path):
    late = [r for r in rows(path) if start <= float(r[0]) < end]
    print(len(late), "started", sum(r[1] == "lost" for r in late), "failed")


def moved(stamp, isp, path):
    later = [float(r[0]) for r in rows(path) if float(r[0]) >= stamp and r[1] != isp]
    print("%.0f" % ((later[0] - stamp) * 1000) if later else "never")


# Each mode: its function, its usage and the types of its arguments; those
# of "..." are the rest of the line, "[STOP]" may be left out.
MODES = {
    "serve": (serve, "NAME", [str]),
    "spread": (spread, "N", [int]),
    "per-source": (per_source, "K SRC...", [int, str]),
    "keep": (keep, "N DIR", [int, str]),
    "udp": (udp, "ISP SECONDS [STOP]", [str, float, str]),
    "rate": (rate, "R SECONDS [STOP]", [float, float, str]),
    "after": (after, "FROM TO FILE", [float, float, str]),
    "moved": (moved, "TIME ISP FILE", [float, str, str]),
}


def main(args):
    mode, usage, types = MODES.get(args[0] if args else "", (None, "", []))
    given = args[1:]
    fits = len(given) == len(types) or ("..." in usage and len(given) > len(types)) or \
        ("[STOP]" in usage and len(given) == len(types) - 1)
    if not mode or not fits:
        sys.exit("usage:" + "".join("\n  internet.py %s %s" % (m, u) for m, (_, u, _) in MODES.items()))
    mode(*(kind(arg) for kind, arg in zip(types + [str] * len(given), given)))


if __name__ == "__main__":
    main(sys.argv[1:])
