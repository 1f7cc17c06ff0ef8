#!/usr/bin/env python3
"""bench/hostile_driver.py: the load side of bench/hostile.sh.

For each hostile load in turn, and for each server in turn, it holds a
crowd of clients that never complete a request (silent connections,
headers one byte at a time, a large file asked for and never read) while a
separate process asks for a small file once a second as an ordinary client
would. It watches the server in /proc meanwhile and afterwards, and prints
a table and the verdict on the first server's targets. Only the Python
standard library is used.

A client the server closes is replaced a second later by a new one, as an
attacker would do, so the crowd stays as large as asked for the whole load.

    hostile_driver.py run --server NAME:PID:PORT ... [options]
    hostile_driver.py probe --port P --path /small.bin --expect FILE --count N --timeout T

Exit status: 0 when the first server met every target, 1 otherwise, 2 on a
usage or set-up error.
"""
import argparse
import asyncio
import collections
import json
import os
import resource
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import procstat  # noqa: E402

TCP_ESTABLISHED = 1
# In flight at once while the crowd is (re)opened: enough to open 10,000
# connections in a few seconds, few enough not to flood a backlog at once.
MAX_CONNECTING = 500
CONNECT_TIMEOUT = 10.0
REOPEN_DELAY = 1.0
BODY_LENGTH = 100000   # a slow body never ends within a load


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def raise_nofile():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return hard


def percentile(sorted_values, p):
    """Nearest-rank percentile of a sorted list."""
    if not sorted_values:
        return None
    rank = max(1, -(-len(sorted_values) * p // 100))
    return sorted_values[int(rank) - 1]


# --- the ordinary client: one fresh GET a second, in a process of its own ----

def fetch(port, path, timeout, tls=False):
    """One GET on a new connection (a TLS one with tls): (status line, body)
    or an error text."""
    deadline = time.monotonic() + timeout
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        if tls:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            s = ctx.wrap_socket(s)
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n".encode())
        data = b""
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("timed out")
            s.settimeout(left)
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
            head, sep, body = data.partition(b"\r\n\r\n")
            if sep:
                for line in head.split(b"\r\n")[1:]:
                    name, _, value = line.partition(b":")
                    if name.strip().lower() == b"content-length" and len(body) >= int(value):
                        return head.split(b"\r\n")[0].decode("latin-1"), body
    head, _, body = data.partition(b"\r\n\r\n")
    return head.split(b"\r\n")[0].decode("latin-1"), body


def probe_main(args):
    """Starts a GET every second, each on a thread of its own so that one
    that hangs does not delay the next; prints one JSON list of results."""
    want = open(args.expect, "rb").read()
    results = [None] * args.count

    def one(i):
        t0 = time.monotonic()
        try:
            status, body = fetch(args.port, args.path, args.timeout, args.tls)
            if " 200 " not in status + " ":
                err = f"status {status!r}"
            elif body != want:
                err = f"wrong body ({len(body)} bytes)"
            else:
                err = None
        except (OSError, ValueError, ssl.SSLError) as e:
            err = type(e).__name__
        results[i] = {"ms": (time.monotonic() - t0) * 1000, "err": err}

    start = time.monotonic()
    threads = []
    for i in range(args.count):
        delay = start + i - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        t = threading.Thread(target=one, args=(i,), daemon=True)
        t.start()
        threads.append(t)
    for t in threads:
        t.join(max(0.0, start + args.count + args.timeout + 5 - time.monotonic()))
    print(json.dumps([r or {"ms": None, "err": "no result"} for r in results]))


# --- the hostile crowd -----------------------------------------------------------

class Crowd:
    """size connections of one kind against 127.0.0.1:port, kept at size
    until stop(): a connection the server closes is replaced REOPEN_DELAY
    later.

    silent   connects and sends nothing;
    trickle  sends a request head one byte every `interval` seconds, a
             head that never ends (an endless header value);
    stall    asks for `path` with a small receive buffer and reads nothing;
             it offers a segment size of `mss` (0: loopback's own);
    tls_trickle  on a TLS port: a TLS handshake record one byte every
             `interval` seconds, a hello that never ends;
    slow_body  POSTs to `path` (a program, which takes the body) a complete
             head announcing a body of BODY_LENGTH bytes, then sends that
             body one byte every `interval` seconds;
    idle     asks for `path` once on a connection the server keeps, reads
             the answer and then sends nothing (an idle persistent
             connection, opened again whenever the server ends it);
    pipeline sends PIPELINE_REQUESTS requests for `path` at once, as many
             as the socket takes, with a small receive buffer, and reads
             nothing.
    """

    PIPELINE_REQUESTS = 1000

    TICKS = 50   # a trickle interval is cut into this many ticks

    def __init__(self, kind, port, size, path, interval, rcvbuf, mss):
        self.kind, self.port, self.size = kind, port, size
        self.path, self.interval, self.rcvbuf, self.mss = path, interval, rcvbuf, mss
        self.loop = asyncio.get_running_loop()
        self.socks = {}                 # slot -> connected socket
        self.sent = collections.Counter()  # slot -> bytes of the head sent
        self.free = collections.deque((0.0, i) for i in range(size))
        self.connecting = set()
        self.tasks = []
        self.stopping = False
        self.opened = 0          # connections established, all told
        self.closed_by_server = 0
        self.connect_failures = 0
        self.head = (f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Trickle: ").encode()
        if kind == "tls_trickle":   # a handshake record of 16 KiB, a client hello
            self.head = b"\x16\x03\x01\x40\x00\x01\x00\x3f\xfc\x03\x03"
        if kind == "slow_body":
            self.head = (f"POST {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                         f"Content-Length: {BODY_LENGTH}\r\n\r\n").encode()

    def held(self):
        return len(self.socks)

    def start(self):
        self.tasks.append(self.loop.create_task(self._opener()))
        if self.kind in ("trickle", "tls_trickle", "slow_body"):
            self.tasks.append(self.loop.create_task(self._trickler()))
        if self.kind in ("stall", "pipeline"):
            self.tasks.append(self.loop.create_task(self._stall_checker()))

    async def _opener(self):
        while not self.stopping:
            now = time.monotonic()
            while (self.free and self.free[0][0] <= now
                   and len(self.connecting) < MAX_CONNECTING):
                _, slot = self.free.popleft()
                task = self.loop.create_task(self._connect(slot))
                self.connecting.add(task)
                task.add_done_callback(self.connecting.discard)
            await asyncio.sleep(0.05)

    async def _connect(self, slot):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        if self.kind in ("stall", "pipeline"):
            # Set before connecting, so the window offered is small from the
            # start and the kernel does not grow it.
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, self.rcvbuf)
            # Loopback's 64 KiB segments make the kernel give every sending
            # socket about 2.5 MiB of buffer at once (twice ten segments), so
            # a thousand stalled clients would take the whole machine's TCP
            # memory; a client across a network offers about 1460 bytes.
            if self.mss:
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, self.mss)
        try:
            await asyncio.wait_for(self.loop.sock_connect(s, ("127.0.0.1", self.port)),
                                   CONNECT_TIMEOUT)
        except (OSError, asyncio.TimeoutError):
            s.close()
            self.connect_failures += 1
            self._release(slot)
            return
        except asyncio.CancelledError:
            s.close()
            raise
        if self.stopping:
            s.close()
            return
        self.opened += 1
        self.socks[slot] = s
        self.sent[slot] = 0
        if self.kind in ("stall", "pipeline"):
            ask = f"GET {self.path} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            ask = (ask + "Connection: close\r\n\r\n" if self.kind == "stall" else
                   (ask + "\r\n") * self.PIPELINE_REQUESTS)
            try:
                s.send(ask.encode())   # what the socket takes; the rest never goes
            except BlockingIOError:
                pass
            except OSError:
                self._server_closed(slot)
                return
        else:
            # idle: its one request; slow_body: the head at once, the body trickles
            if self.kind in ("idle", "slow_body"):
                try:
                    self.sent[slot] = s.send(self.head if self.kind == "slow_body" else
                                             f"GET {self.path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
                except OSError:
                    self._server_closed(slot)
                    return
            # Anything from the server (an answer, the end, a reset) means
            # it is done with this client.
            self.loop.add_reader(s.fileno(), self._readable, slot)

    def _readable(self, slot):
        s = self.socks.get(slot)
        if s is None:
            return
        try:
            if s.recv(65536):
                return   # an answer; wait for the end
        except BlockingIOError:
            return
        except OSError:
            pass
        self._server_closed(slot)

    def _server_closed(self, slot):
        self.closed_by_server += 1
        self._drop(slot)
        self._release(slot)

    def _drop(self, slot):
        s = self.socks.pop(slot, None)
        if s is not None:
            if self.kind not in ("stall", "pipeline"):
                self.loop.remove_reader(s.fileno())
            s.close()

    def _release(self, slot):
        if not self.stopping:
            self.free.append((time.monotonic() + REOPEN_DELAY, slot))

    async def _trickler(self):
        """One byte to every connection each interval: at each tick the
        slots of one bucket (slot % TICKS) send theirs."""
        tick = 0
        while not self.stopping:
            await asyncio.sleep(self.interval / self.TICKS)
            bucket = tick % self.TICKS
            tick += 1
            for slot in [sl for sl in self.socks if sl % self.TICKS == bucket]:
                n = self.sent[slot]
                byte = self.head[n:n + 1] or b"a"
                try:
                    self.socks[slot].send(byte)
                    self.sent[slot] = n + 1
                except BlockingIOError:
                    pass
                except OSError:
                    self._server_closed(slot)

    async def _stall_checker(self):
        """A stalled client reads nothing, so it learns of the server's close
        from the connection's state only (a reset, or the end once the data
        before it is through): a twentieth of them every 50 ms."""
        tick = 0
        while not self.stopping:
            await asyncio.sleep(0.05)
            bucket = tick % 20
            tick += 1
            for slot in [sl for sl in self.socks if sl % 20 == bucket]:
                try:
                    info = self.socks[slot].getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 8)
                except OSError:
                    info = b"\0"
                if struct.unpack("B", info[:1])[0] != TCP_ESTABLISHED:
                    self._server_closed(slot)

    async def stop(self):
        self.stopping = True
        for t in self.tasks + list(self.connecting):
            t.cancel()
        await asyncio.gather(*self.tasks, *self.connecting, return_exceptions=True)
        for slot in list(self.socks):
            self._drop(slot)


# --- the server as /proc shows it, sampled in a thread -------------------------

def tcp_memory_kib():
    """The kernel's TCP buffer memory now, all sockets of the machine, and
    whether TCP is under memory pressure (it then holds back every
    connection's buffers, whoever the server)."""
    kib, pressure = 0, False
    try:
        with open("/proc/net/sockstat") as f:
            for line in f:
                if line.startswith("TCP:"):
                    words = line.split()
                    kib = int(words[words.index("mem") + 1]) * os.sysconf("SC_PAGE_SIZE") // 1024
        with open("/proc/net/protocols") as f:
            for line in f:
                words = line.split()
                if words and words[0] == "TCP":
                    pressure = words[4] == "yes"
    except (OSError, ValueError, IndexError):
        pass
    return kib, pressure


class Watch(threading.Thread):
    """Largest thread count, RSS and descriptor count of a server, and the
    largest TCP memory of the machine, every 100 ms until stopped."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.peak = {"threads": 0, "rss": 0, "fds": 0, "tcp": 0, "pressure": False}
        self.gone = False
        self.halt = threading.Event()

    def run(self):
        while not self.halt.is_set():
            snap = procstat.snapshot(self.pid)
            if snap is None:
                self.gone = True
                return
            for k in ("threads", "rss", "fds"):
                self.peak[k] = max(self.peak[k], snap[k])
            tcp, pressure = tcp_memory_kib()
            self.peak["tcp"] = max(self.peak["tcp"], tcp)
            self.peak["pressure"] |= pressure
            self.halt.wait(0.1)

    def stop(self):
        self.halt.set()
        self.join(5)
        return self.peak


async def settle(pid, want, seconds, rss_slack):
    """Waits, at most seconds, until the server's descriptors are back to
    their idle count and its RSS within rss_slack of idle. Returns the last
    figures and the seconds it took (None when they did not come back)."""
    start = time.monotonic()
    while True:
        snap = procstat.snapshot(pid)
        if snap is None:
            return None, None
        if snap["fds"] <= want["fds"] and snap["rss"] <= want["rss"] + rss_slack:
            return snap, time.monotonic() - start
        if time.monotonic() - start >= seconds:
            return snap, None
        await asyncio.sleep(0.5)


async def warm_up(port, path, concurrency, rounds):
    """A few rounds of concurrent GETs, so that the idle figures hold what
    a server keeps once it has been busy (threads' arenas, pages read in)."""
    async def one():
        try:
            r, w = await asyncio.wait_for(asyncio.open_connection("127.0.0.1", port), 10)
            w.write(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n".encode())
            await asyncio.wait_for(r.read(), 10)
            w.close()
        except (OSError, asyncio.TimeoutError):
            pass
    for _ in range(rounds):
        await asyncio.gather(*(one() for _ in range(concurrency)))


async def wait_threads(pid, want, seconds):
    """Waits, at most seconds, for the thread count to come down to want."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        snap = procstat.snapshot(pid)
        if snap is None or snap["threads"] <= want:
            return
        await asyncio.sleep(0.5)


async def run_load(args, server, kind, size, idle):
    name, pid, plain_port, tls_port = server
    tls = kind.startswith("tls_")
    port = tls_port if tls else plain_port
    log(f"{kind} x{size} against {name} ...")
    watch = Watch(pid)
    watch.start()
    path = {"stall": args.big_path, "slow_body": args.body_path}.get(kind, args.small_path)
    crowd = Crowd(kind, port, size, path, args.trickle_interval, args.stall_rcvbuf,
                  args.stall_mss)
    crowd.start()
    ramp_end = time.monotonic() + args.ramp
    while crowd.held() < size and time.monotonic() < ramp_end:
        await asyncio.sleep(0.1)
    held_start = crowd.held()
    held_min = held_start

    probe = await asyncio.create_subprocess_exec(
        sys.executable, os.path.abspath(__file__), "probe", "--port", str(port),
        "--path", args.small_path, "--expect", args.expect, "--count", str(args.seconds),
        "--timeout", str(args.probe_timeout), *(["--tls"] if tls else []),
        stdout=subprocess.PIPE)
    comm = asyncio.ensure_future(probe.communicate())
    limit = time.monotonic() + args.seconds + args.probe_timeout + 15
    while not comm.done() and time.monotonic() < limit:
        await asyncio.wait([comm], timeout=1.0)
        held_min = min(held_min, crowd.held())
    if not comm.done():
        probe.kill()
    out, _ = await comm
    try:
        probes = json.loads(out.decode() or "[]")
    except ValueError:
        probes = []
    held_end = crowd.held()
    await crowd.stop()
    peak = watch.stop()

    after, settle_s = await settle(pid, idle, args.settle, args.rss_slack_kib)
    ok_ms = sorted(p["ms"] for p in probes if p["err"] is None)
    errors = collections.Counter(p["err"] for p in probes if p["err"] is not None)
    return {
        "load": kind, "size": size, "server": name,
        "held": (held_start, held_min, held_end), "opened": crowd.opened,
        "closed": crowd.closed_by_server, "connect_failures": crowd.connect_failures,
        "answered": len(ok_ms), "probes": args.seconds, "errors": dict(errors),
        "p50": percentile(ok_ms, 50), "p99": percentile(ok_ms, 99),
        "max": ok_ms[-1] if ok_ms else None,
        "peak": peak, "gone": watch.gone or after is None,
        "idle": idle, "after": after, "settle_s": settle_s,
    }


def verdict(r, args):
    """The targets the row missed (an empty list: all met)."""
    miss = []
    if r["gone"]:
        return ["server gone"]
    if r["answered"] < r["probes"]:
        miss.append("answered")
    if r["p99"] is None or r["p99"] > args.p99_ms:
        miss.append("p99")
    if r["peak"]["threads"] > args.thread_limit:
        miss.append("threads")
    if r["peak"]["rss"] > args.rss_limit_kib:
        miss.append("RSS")
    if r["after"]["fds"] > r["idle"]["fds"]:
        miss.append("fds after")
    if r["after"]["rss"] > r["idle"]["rss"] + args.rss_slack_kib:
        miss.append("RSS after")
    return miss


def print_table(results, args, first):
    ms = lambda v: "-" if v is None else (f"{v:.1f}" if v < 1000 else f"{v:.0f}")
    mib = lambda kib: f"{kib / 1024:.1f}"
    fmt = "%-15s %-9s %-17s %6s %7s %7s %7s %7s %5s %7s %11s %11s %6s %7s  %s"
    print(fmt % ("load", "server", "held start/min/end", "closed", "answer", "p50 ms",
                 "p99 ms", "max ms", "thr", "RSS max", "fds idle/af", "RSS idle/af",
                 "back s", "TCP MiB", "verdict"))
    for r in results:
        miss = verdict(r, args)
        if r["gone"]:
            print(fmt % (f"{r['load']} {r['size']}", r["server"], "", "", "", "", "", "", "",
                         "", "", "", "", "", "FAIL: server gone"))
            continue
        if r["server"] == first:
            v = "PASS" if not miss else "FAIL: " + ", ".join(miss)
        else:
            v = "(reference)" + ("" if not {"answered", "p99"} & set(miss) else
                                 " missed " + ", ".join(m for m in miss if m in ("answered", "p99")))
        print(fmt % (
            f"{r['load']} {r['size']}", r["server"], "%d/%d/%d" % r["held"], r["closed"],
            f"{r['answered']}/{r['probes']}", ms(r["p50"]), ms(r["p99"]), ms(r["max"]),
            r["peak"]["threads"], mib(r["peak"]["rss"]),
            f"{r['idle']['fds']}/{r['after']['fds']}",
            f"{mib(r['idle']['rss'])}/{mib(r['after']['rss'])}",
            "-" if r["settle_s"] is None else f"{r['settle_s']:.0f}",
            mib(r["peak"]["tcp"]) + ("!" if r["peak"]["pressure"] else ""), v))
        if r["errors"]:
            print(" " * 16 + "unanswered: " + ", ".join(f"{n} {e}" for e, n in r["errors"].items()))


async def run_main(args):
    hard = raise_nofile()
    biggest = max(args.silent, args.trickle, args.stall, args.slow_body, args.idle, args.pipeline)
    if hard < biggest + 200:
        log(f"RLIMIT_NOFILE hard limit {hard} is too small for {biggest} connections")
        return 2
    servers = []
    for entry in args.server:
        name, pid, port, *tls_port = entry.split(":")
        servers.append((name, int(pid), int(port), int(tls_port[0]) if tls_port else 0))

    idle = {}
    for name, pid, port, _ in servers:
        cold = procstat.snapshot(pid)
        if cold is None:
            log(f"{name} (pid {pid}) is not running")
            return 2
        log(f"warming up {name} ...")
        await warm_up(port, args.small_path, args.warm_concurrency, 3)
        await wait_threads(pid, cold["threads"], args.settle)
        idle[name] = procstat.snapshot(pid)

    sizes = {"silent": args.silent, "trickle": args.trickle, "stall": args.stall,
             "tls_trickle": args.trickle, "slow_body": args.slow_body, "idle": args.idle,
             "pipeline": args.pipeline}
    loads = [(k, sizes[k]) for k in args.loads.split(",") if sizes.get(k)]
    results = []
    for kind, size in loads:
        for server in servers:
            if procstat.snapshot(server[1]) is None:
                log(f"{server[0]} is gone")
                continue
            if kind.startswith("tls_") and not server[3]:
                log(f"{server[0]} has no TLS port: {kind} skipped")
                continue
            results.append(await run_load(args, server, kind, size, idle[server[0]]))

    first = servers[0][0]
    print()
    print(f"{args.seconds} fresh GETs of {args.small_path}, one a second, during each load "
          f"(each given {args.probe_timeout:g} s);")
    print(f"targets for {first}: every GET answered, p99 <= {args.p99_ms:g} ms, threads <= "
          f"{args.thread_limit}, RSS <= {args.rss_limit_kib // 1024} MiB; afterwards "
          f"descriptors back to idle and RSS within {args.rss_slack_kib // 1024} MiB of idle "
          f"(waited for at most {args.settle:g} s)")
    print_table(results, args, first)
    print("held: connections of the crowd established when the GETs began / fewest during "
          "them / at the end; closed: by the server (each replaced a second later); thr: "
          "most threads (all processes); RSS in MiB (all processes); back s: seconds until "
          "descriptors and RSS were back; TCP MiB: the most TCP buffer memory of the whole "
          "machine during the load, '!' when TCP was under memory pressure (which slows "
          "every server).")
    failed = [r for r in results if r["server"] == first and verdict(r, args)]
    ran_all = len([r for r in results if r["server"] == first]) == len(loads)
    ok = ran_all and not failed
    print(f"{first}: {'PASS' if ok else 'FAIL'}")
    return 0 if ok else 1


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = ap.add_subparsers(dest="cmd", required=True)
    pr = sub.add_parser("probe")
    pr.add_argument("--port", type=int, required=True)
    pr.add_argument("--path", required=True)
    pr.add_argument("--expect", required=True)
    pr.add_argument("--count", type=int, required=True)
    pr.add_argument("--timeout", type=float, required=True)
    pr.add_argument("--tls", action="store_true")
    ru = sub.add_parser("run")
    ru.add_argument("--server", action="append", required=True,
                    help="NAME:PID:PORT[:TLS_PORT]; the first is the one judged")
    ru.add_argument("--loads", default="silent,trickle,stall,tls_trickle,slow_body,idle,pipeline")
    ru.add_argument("--silent", type=int, default=10000)
    ru.add_argument("--trickle", type=int, default=2000)
    ru.add_argument("--stall", type=int, default=1000)
    ru.add_argument("--slow-body", type=int, default=150)
    ru.add_argument("--body-path", default="/sink.cgi")
    ru.add_argument("--idle", type=int, default=2000)
    ru.add_argument("--pipeline", type=int, default=200)
    ru.add_argument("--seconds", type=int, default=40)
    ru.add_argument("--probe-timeout", type=float, default=10.0)
    ru.add_argument("--ramp", type=float, default=20.0)
    ru.add_argument("--settle", type=float, default=60.0)
    ru.add_argument("--small-path", default="/small.bin")
    ru.add_argument("--big-path", default="/big.bin")
    ru.add_argument("--expect", required=True, help="the file /small.bin must serve")
    ru.add_argument("--trickle-interval", type=float, default=5.0)
    ru.add_argument("--stall-rcvbuf", type=int, default=4096)
    ru.add_argument("--stall-mss", type=int, default=1460)
    ru.add_argument("--warm-concurrency", type=int, default=100)
    ru.add_argument("--thread-limit", type=int, default=104)
    ru.add_argument("--p99-ms", type=float, default=50.0)
    ru.add_argument("--rss-limit-kib", type=int, default=64 * 1024)
    ru.add_argument("--rss-slack-kib", type=int, default=4 * 1024)
    args = ap.parse_args()
    if args.cmd == "probe":
        probe_main(args)
        return 0
    if not set(args.loads.split(",")) <= {"silent", "trickle", "stall", "tls_trickle", "slow_body",
                                           "idle", "pipeline"}:
        ap.error("--loads: a comma-separated list of silent, trickle, stall, tls_trickle, "
                 "slow_body, idle and pipeline")
    for v in ("silent", "trickle", "stall", "slow_body", "idle", "pipeline", "seconds",
              "warm_concurrency", "thread_limit"):
        if getattr(args, v) < 0 or (v == "seconds" and args.seconds < 1):
            ap.error(f"--{v.replace('_', '-')} out of range")
    return asyncio.run(run_main(args))


if __name__ == "__main__":
    sys.exit(main())
