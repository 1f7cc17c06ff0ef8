#!/usr/bin/env python3
"""bench/soak_driver.py: the load side of bench/soak.sh.

Drives a mixed load of one-request connections against a running quillfen,
checks every answer against the document root that soak.sh made, and
watches the server's descriptors and resident memory before, during and
after the load. Only the Python standard library is used.

Exit status: 0 when every request got a correct answer and nothing leaked,
1 otherwise, 2 on a usage or set-up error.
"""
import argparse
import asyncio
import collections
import json
import os
import random
import sys
import threading
import time

# Shares of the request mix, in per cent. CGI requests fork a program each,
# so they stay a small part.
MIX = (("file", 45), ("range", 25), ("notfound", 10), ("listing", 15), ("cgi", 5))


def log(msg):
    print(msg, file=sys.stderr, flush=True)


# --- the server process as /proc shows it ----------------------------------

# What is measured of the server, in this order: descriptors, VmRSS and
# RssAnon (KiB), threads.
FIELDS = ("fd", "rss", "anon", "threads")


def snapshot(pid):
    """The server's figures now, or None when the process is gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            text = f.read()
        fds = len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return None
    snap = {"fd": fds}
    for line in text.splitlines():
        for key, name in (("VmRSS:", "rss"), ("RssAnon:", "anon"), ("Threads:", "threads")):
            if line.startswith(key):
                snap[name] = int(line.split()[1])
    return snap if len(snap) == len(FIELDS) else None


def child_pids(pid):
    """Processes whose parent is pid (finished CGI programs not yet reaped
    show up here as zombies)."""
    kids = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        # The command name is in parentheses and may hold blanks.
        fields = stat[stat.rindex(")") + 2:].split()
        if int(fields[1]) == pid:
            kids.append((int(name), fields[0]))
    return kids


def alive(pid):
    return snapshot(pid) is not None


def is_listening(port):
    """True once a socket listens on 127.0.0.1:port (or any address)."""
    want = f":{port:04X}"
    try:
        with open("/proc/net/tcp") as f:
            next(f)
            for line in f:
                parts = line.split()
                if parts[1].endswith(want) and parts[3] == "0A":
                    return True
    except OSError:
        pass
    return False


def quiet_sample(pid, samples=6, gap=0.2):
    """The least of each figure over about a second: the panel's refresh
    thread opens its files for a moment every few seconds, and one unlucky
    reading must not count as a leak. None when the process is gone."""
    low = None
    for _ in range(samples):
        snap = snapshot(pid)
        if snap is None:
            return None
        low = snap if low is None else {k: min(low[k], snap[k]) for k in FIELDS}
        time.sleep(gap)
    return low


def wait_idle(pid, base_threads, deadline):
    """Polls until the server is down to its idle threads (every worker
    has timed out and left) or the deadline passes. Returns the seconds
    waited, or None on timeout."""
    start = time.monotonic()
    while time.monotonic() < deadline:
        snap = snapshot(pid)
        if snap is None:
            return None
        if snap["threads"] <= base_threads:
            return time.monotonic() - start
        time.sleep(0.1)
    return None


class Sampler(threading.Thread):
    """The highest of each figure while the load runs, read ten times a second."""

    def __init__(self, pid, interval=0.1):
        super().__init__(daemon=True)
        self.pid, self.interval = pid, interval
        self.peak = {k: 0 for k in FIELDS}
        self.gone = False
        self._halt = threading.Event()

    def run(self):
        while not self._halt.is_set():
            snap = snapshot(self.pid)
            if snap is None:
                self.gone = True
                return
            self.peak = {k: max(self.peak[k], snap[k]) for k in FIELDS}
            self._halt.wait(self.interval)

    def stop(self):
        self._halt.set()
        self.join()


# --- the document root and what each request must get ----------------------

class Expectations:
    def __init__(self, root):
        with open(os.path.join(root, "manifest.json")) as f:
            m = json.load(f)
        self.files = {}
        for name in m["files"]:
            with open(os.path.join(root, name), "rb") as f:
                self.files[name] = f.read()
        self.ranged = [n for n, body in self.files.items() if len(body) >= 2]
        self.listing_dir = m["listing_dir"]
        self.listing_names = m["listing_names"]
        self.cgi = m["cgi"]


def plan(i, rng, exp, mix):
    """Request i of the mix: (kind, target, extra headers, check data)."""
    roll = rng.randrange(sum(share for _, share in mix))
    for kind, share in mix:
        if roll < share:
            break
        roll -= share
    if kind == "file":
        name = rng.choice(sorted(exp.files))
        return kind, "/" + name, "", name
    if kind == "range":
        name = rng.choice(exp.ranged)
        size = len(exp.files[name])
        first = rng.randrange(size)
        style = rng.randrange(4)
        if style == 0:   # open end: to the end of the file
            byte_range, last = f"{first}-", size - 1
        elif style == 1:  # an end past the file is clamped
            byte_range, last = f"{first}-{size + rng.randrange(1, 1000)}", size - 1
        else:
            last = rng.randrange(first, size)
            byte_range = f"{first}-{last}"
        return kind, "/" + name, f"Range: bytes={byte_range}\r\n", (name, first, last)
    if kind == "notfound":
        return kind, f"/missing-{i}-{rng.randrange(10**9)}.html", "", None
    if kind == "listing":
        return kind, "/" + exp.listing_dir + "/", "", None
    token = f"r{i}x{rng.randrange(10**9)}"
    return kind, f"/{exp.cgi}?{token}", "", token


def parse_response(raw):
    """(status, headers dict with lower-case names, body) or raises ValueError."""
    end = raw.find(b"\r\n\r\n")
    if end < 0:
        raise ValueError("no end of header block" if raw else "empty answer")
    head = raw[:end].decode("latin-1").split("\r\n")
    parts = head[0].split(" ", 2)
    if len(parts) < 2 or not parts[0].startswith("HTTP/1.") or not parts[1].isdigit():
        raise ValueError(f"bad status line {head[0][:80]!r}")
    headers = {}
    for line in head[1:]:
        name, sep, value = line.partition(":")
        if not sep:
            raise ValueError(f"bad header line {line[:80]!r}")
        headers[name.strip().lower()] = value.strip()
    body = raw[end + 4:]
    if "content-length" in headers and int(headers["content-length"]) != len(body):
        raise ValueError(f"Content-Length {headers['content-length']} but {len(body)} body bytes")
    return int(parts[1]), headers, body


def check(kind, data, exp, status, headers, body):
    """None when the answer is right, else what is wrong."""
    if kind == "file":
        want = exp.files[data]
        if status != 200:
            return f"status {status}"
        if body != want:
            return f"body differs ({len(body)} bytes, want {len(want)})"
        return None
    if kind == "range":
        name, first, last = data
        full = exp.files[name]
        if status != 206:
            return f"status {status}"
        want_cr = f"bytes {first}-{last}/{len(full)}"
        if headers.get("content-range") != want_cr:
            return f"Content-Range {headers.get('content-range')!r}, want {want_cr!r}"
        if body != full[first:last + 1]:
            return f"body differs ({len(body)} bytes, want {last - first + 1})"
        return None
    if kind == "notfound":
        return None if status == 404 else f"status {status}"
    if kind == "listing":
        if status != 200:
            return f"status {status}"
        text = body.decode("utf-8", "replace")
        missing = [n for n in exp.listing_names if f">{n}<" not in text and f">{n}/<" not in text]
        if missing:
            return f"missing {len(missing)} of {len(exp.listing_names)} names, e.g. {missing[0]!r}"
        return None
    want = f"cgi ok {data}\n".encode()
    if status != 200:
        return f"status {status}"
    if body != want:
        return f"body {body[:60]!r}, want {want!r}"
    return None


# --- the load ---------------------------------------------------------------

class Tally:
    def __init__(self):
        self.done = 0
        self.ok = collections.Counter()
        self.failed = collections.Counter()   # (kind, reason class) -> count
        self.examples = {}                    # (kind, reason class) -> first detail
        self.slowest = []                     # the few slowest: (seconds, target)
        self.seconds = collections.Counter()  # kind -> summed latency of its answers

    def fail(self, kind, reason, detail):
        key = (kind, reason)
        self.failed[key] += 1
        self.examples.setdefault(key, detail)


async def one_request(host, port, i, rng, exp, mix, tally, timeout):
    kind, target, extra, data = plan(i, rng, exp, mix)
    request = (f"GET {target} HTTP/1.1\r\nHost: {host}:{port}\r\n{extra}"
               f"Connection: close\r\n\r\n").encode()
    started = time.monotonic()
    writer = None
    try:
        async def exchange():
            nonlocal writer
            reader, writer = await asyncio.open_connection(host, port)
            writer.write(request)
            await writer.drain()
            return await reader.read()   # to the server's close
        raw = await asyncio.wait_for(exchange(), timeout)
    except asyncio.TimeoutError:
        tally.fail(kind, "timeout", f"{target}: no complete answer within {timeout} s")
        return
    except OSError as e:
        tally.fail(kind, type(e).__name__, f"{target}: {e}")
        return
    finally:
        if writer is not None:
            writer.close()
    took = time.monotonic() - started
    if len(tally.slowest) < 3 or took > tally.slowest[0][0]:
        tally.slowest = sorted(tally.slowest + [(took, target)])[-3:]
    try:
        status, headers, body = parse_response(raw)
    except ValueError as e:
        tally.fail(kind, "malformed", f"{target}: {e}")
        return
    wrong = check(kind, data, exp, status, headers, body)
    if wrong is None:
        tally.ok[kind] += 1
        tally.seconds[kind] += took
    else:
        # "status 500" is a class of its own; other faults by their first word.
        cls = wrong if wrong.startswith("status") else wrong.split(" ")[0]
        tally.fail(kind, cls, f"{target} {extra.strip()}: {wrong}")


async def drive(args, exp, tally):
    counter = iter(range(args.requests))
    rng = random.Random(args.seed)
    # Each request gets its own generator seeded from the master, so the
    # plan of request i does not depend on the order in which they run.
    seeds = [rng.getrandbits(64) for _ in range(args.requests)]

    end = time.monotonic() + args.deadline
    done_before = tally.done

    async def worker():
        for i in counter:
            # A cancellation can be lost inside wait_for when the request
            # ends at the same moment, so the deadline is checked here too.
            if time.monotonic() >= end:
                return
            await one_request(args.host, args.port, i, random.Random(seeds[i]), exp, args.mix,
                              tally, args.timeout)
            tally.done += 1

    tasks = [asyncio.create_task(worker()) for _ in range(args.concurrency)]
    done, pending = await asyncio.wait(tasks, timeout=args.deadline)
    for t in pending:
        t.cancel()
    await asyncio.gather(*pending, return_exceptions=True)
    for t in done:
        if t.exception() is not None:
            raise t.exception()
    return tally.done - done_before == args.requests


def report_warmup_failures(warm):
    for (kind, reason), n in warm.failed.items():
        log(f"warm-up {kind}: {reason} x{n}: {warm.examples[(kind, reason)]}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--pid", type=int, required=True)
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--root", required=True)
    ap.add_argument("--requests", type=int, default=100000)
    ap.add_argument("--concurrency", type=int, default=256)
    ap.add_argument("--deadline", type=float, default=900, help="seconds for the whole load")
    ap.add_argument("--timeout", type=float, default=60, help="seconds for one request")
    ap.add_argument("--idle-time", type=int, required=True, help="the server's idle_time")
    ap.add_argument("--rss-slack-kib", type=int, default=4096)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--mix", help="shares as kind=N,... (default "
                    + ",".join(f"{k}={n}" for k, n in MIX) + ")")
    args = ap.parse_args()
    if args.mix is None:
        args.mix = MIX
    else:
        try:
            shares = dict((k, int(n)) for k, n in (item.split("=") for item in args.mix.split(",")))
        except ValueError:
            shares = {"": 0}
        if set(shares) - {k for k, _ in MIX} or sum(shares.values()) <= 0:
            log(f"bad --mix {args.mix!r}")
            return 2
        args.mix = tuple((k, shares.get(k, 0)) for k, _ in MIX)

    exp = Expectations(args.root)
    pid = args.pid
    log_deadline = time.monotonic() + 30
    while not is_listening(args.port):
        if not alive(pid) or time.monotonic() > log_deadline:
            log("the server did not start listening")
            return 2
        time.sleep(0.05)

    # No request has been made yet, so every thread now is one the server
    # keeps when idle; each worker started later leaves idle_time + 1 s
    # after its last connection.
    time.sleep(1)
    base_threads = snapshot(pid)["threads"]
    cold = quiet_sample(pid)
    idle_wait = args.idle_time + 1 + 30   # the margin covers a busy machine

    # Warm-up: a few of each kind one at a time, so that a broken set-up
    # fails at once; then a short burst at full concurrency, so that the
    # baseline below holds what any busy server keeps for good (code and
    # libraries paged in, malloc arenas of the worker threads).
    warm = Tally()
    warm_args = argparse.Namespace(**vars(args))
    warm_args.requests, warm_args.concurrency, warm_args.deadline = 3, 1, 60
    for kind, _ in MIX:
        warm_args.mix = ((kind, 1),)
        if not asyncio.run(drive(warm_args, exp, warm)) or warm.failed:
            report_warmup_failures(warm)
            log("the warm-up failed")
            return 1
    warm_args.requests, warm_args.mix = min(args.requests, 5000), args.mix
    warm_args.concurrency, warm_args.deadline = args.concurrency, args.deadline
    warm_args.seed = args.seed + 1
    finished = asyncio.run(drive(warm_args, exp, warm))
    if not finished or warm.failed:
        report_warmup_failures(warm)
        log(f"the warm-up failed ({warm.done} requests done; deadline {warm_args.deadline:.0f} s)")
        return 1
    if wait_idle(pid, base_threads, time.monotonic() + idle_wait) is None:
        log(f"the workers of the warm-up did not leave within {idle_wait} s: "
            f"{snapshot(pid)}, {base_threads} threads when idle")
        return 1
    idle = quiet_sample(pid)

    log(f"load: {args.requests} requests at concurrency {args.concurrency}, "
        f"deadline {args.deadline:.0f} s")
    tally = Tally()
    sampler = Sampler(pid)
    sampler.start()
    started = time.monotonic()
    finished = asyncio.run(drive(args, exp, tally))
    elapsed = time.monotonic() - started
    sampler.stop()

    waited = wait_idle(pid, base_threads, time.monotonic() + idle_wait)
    after = quiet_sample(pid)
    leftover = child_pids(pid)

    problems = []
    failures = sum(tally.failed.values())
    if not finished:
        problems.append(f"the deadline of {args.deadline:.0f} s passed with "
                        f"{args.requests - tally.done} requests not done")
    if failures:
        problems.append(f"{failures} requests got a wrong answer or none")
    if sampler.gone or after is None:
        problems.append("the server process ended during the soak")
    if waited is None and after is not None:
        problems.append(f"workers did not leave within {idle_wait} s after the load")
    if after is not None and after["fd"] != idle["fd"]:
        problems.append(f"descriptors: {after['fd']} after the load, {idle['fd']} before")
    # RSS tolerance. The baseline is the idle server after the warm-up: it
    # already holds what a server that has been busy keeps for good (code
    # and library pages read in, one malloc arena per worker thread up to
    # glibc's bound of 8 per core, each with a little free memory that the
    # allocator keeps for reuse). The cold figure is lower by those pages
    # and is shown only. What the long load may leave on top of the
    # baseline is bounded by the slack, 4 MiB by default: a leak of 40 bytes
    # a request already exceeds it over 100,000 requests, while the
    # allocator keeping somewhat more free memory after the load's deeper
    # peak stays well inside it.
    if after is not None and after["rss"] > idle["rss"] + args.rss_slack_kib:
        problems.append(f"VmRSS {after['rss'] / 1024:.1f} MiB after the load, "
                        f"{idle['rss'] / 1024:.1f} MiB idle before it "
                        f"(slack {args.rss_slack_kib} KiB)")
    if leftover:
        problems.append(f"{len(leftover)} child processes left: {leftover[:5]}")

    print()
    print(f"soak: {args.requests} requests at concurrency {args.concurrency}, "
          f"one per connection, seed {args.seed}")
    print(f"  {'kind':<10}{'ok':>8}{'failed':>8}{'mean ms':>9}")
    for kind, _ in args.mix:
        bad = sum(n for (k, _), n in tally.failed.items() if k == kind)
        mean = tally.seconds[kind] / tally.ok[kind] * 1000 if tally.ok[kind] else 0
        print(f"  {kind:<10}{tally.ok[kind]:>8}{bad:>8}{mean:>9.1f}")
    print(f"  {'all':<10}{sum(tally.ok.values()):>8}{failures:>8}")
    print(f"  requests done {tally.done} of {args.requests} in {elapsed:.1f} s: "
          f"{tally.done / elapsed if elapsed else 0:.0f} req/s")
    print("  slowest: " + ", ".join(f"{t:.2f} s {target}" for t, target in reversed(tally.slowest)))

    def cell(snap, key):
        if snap is None:
            return "n/a"
        return str(snap[key]) if key in ("fd", "threads") else f"{snap[key] / 1024:.1f}"
    print(f"  {'':<16}{'cold':>8}{'idle':>8}{'peak':>8}{'after':>8}")
    for key, label in (("fd", "descriptors"), ("rss", "VmRSS MiB"), ("anon", "RssAnon MiB"),
                       ("threads", "threads")):
        print(f"  {label:<16}" + "".join(f"{cell(s, key):>8}"
                                          for s in (cold, idle, sampler.peak, after)))
    print(f"  workers gone {'never' if waited is None else f'{waited:.1f} s'} after the load "
          f"(idle_time {args.idle_time} s)")
    if tally.failed:
        print("failures by kind:")
        for (kind, reason), n in sorted(tally.failed.items(), key=lambda kv: -kv[1])[:20]:
            print(f"  {kind:<9} {reason:<22} {n:>8}   e.g. {tally.examples[(kind, reason)]}")
    if problems:
        print("FAIL: " + "; ".join(problems))
        return 1
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
