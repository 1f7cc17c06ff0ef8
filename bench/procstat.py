#!/usr/bin/env python3
"""bench/procstat.py: what /proc shows of a server under load.

A server here is a process and all its descendants (nginx: the master and
its workers). Used as a module by bench/hostile_driver.py and as a sampler
by bench/compare.sh:

    python3 bench/procstat.py sample PID STOPFILE READYFILE

takes the server's figures, creates READYFILE, samples until STOPFILE
appears and prints, in one line: the peak of VmRSS summed over the
processes (KiB), the sum of their VmHWM (KiB), the CPU time they used
meanwhile (utime + stime, in microseconds) and their context switches
meanwhile (voluntary + involuntary, over all threads). Only the Python
standard library is used.
"""
import os
import sys
import time

TICK_US = 1e6 / os.sysconf("SC_CLK_TCK")


def family(pid):
    """pid and all its descendants that are still there."""
    out = [pid]
    try:
        for tid in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{tid}/children") as f:
                for child in f.read().split():
                    out += family(int(child))
    except OSError:
        pass
    return out


def status(path):
    """The numbers of a /proc status file by field name (the first word
    after the colon: KiB for the Vm* fields)."""
    fields = {}
    try:
        with open(path) as f:
            for line in f:
                name, _, rest = line.partition(":")
                words = rest.split()
                if words and words[0].isdigit():
                    fields[name] = int(words[0])
    except OSError:
        pass
    return fields


def cpu_us(pid):
    """utime + stime of a whole process in microseconds. The process's own
    stat file includes the threads that have already ended, so workers
    that come and go are all counted."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except OSError:
        return 0
    # The command name is in parentheses and may hold blanks; utime and
    # stime are the 14th and 15th fields.
    fields = stat[stat.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) * TICK_US


def thread_switches(pid):
    """Context switches so far of every live thread of pid, by thread id.
    The kernel keeps these per thread and drops them with the thread."""
    out = {}
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return out
    for tid in tids:
        st = status(f"/proc/{pid}/task/{tid}/status")
        if "voluntary_ctxt_switches" in st:
            out[int(tid)] = st["voluntary_ctxt_switches"] + st.get("nonvoluntary_ctxt_switches", 0)
    return out


def fd_count(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return 0


def snapshot(root):
    """The server's figures now, summed over its processes, or None when
    it is gone: rss and hwm (KiB), threads, fds, procs."""
    pids = family(root)
    sts = [status(f"/proc/{p}/status") for p in pids]
    if not sts[0]:
        return None
    return {
        "rss": sum(s.get("VmRSS", 0) for s in sts),
        "hwm": sum(s.get("VmHWM", 0) for s in sts),
        "threads": sum(s.get("Threads", 0) for s in sts),
        "fds": sum(fd_count(p) for p in pids),
        "procs": len(pids),
    }


class SwitchCounter:
    """Context switches of a server's threads since start(). A thread that
    ends between two updates loses its switches since the last one, so
    update() is called often while threads come and go."""

    def __init__(self, root):
        self.root = root
        self.first = {}
        self.last = {}

    def _read(self):
        now = {}
        for p in family(self.root):
            now.update(thread_switches(p))
        return now

    def start(self):
        self.first = self._read()
        self.last = dict(self.first)

    def update(self):
        self.last.update(self._read())

    def total(self):
        return sum(n - self.first.get(tid, 0) for tid, n in self.last.items())


def sample(root, stopfile, readyfile, interval=0.05, switch_every=4):
    switches = SwitchCounter(root)
    switches.start()
    cpu0 = sum(cpu_us(p) for p in family(root))
    open(readyfile, "w").close()
    peak, n = 0, 0
    while not os.path.exists(stopfile):
        snap = snapshot(root)
        if snap is None:
            break
        peak = max(peak, snap["rss"])
        n += 1
        if n % switch_every == 0:
            switches.update()
        time.sleep(interval)
    switches.update()
    cpu = sum(cpu_us(p) for p in family(root)) - cpu0
    snap = snapshot(root) or {"hwm": 0, "rss": 0}
    peak = max(peak, snap["rss"])
    print(f"{peak} {snap['hwm']} {cpu:.0f} {switches.total()}")


if __name__ == "__main__":
    if len(sys.argv) != 5 or sys.argv[1] != "sample":
        sys.exit("usage: procstat.py sample PID STOPFILE READYFILE")
    sample(int(sys.argv[2]), sys.argv[3], sys.argv[4])
