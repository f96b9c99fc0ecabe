#!/usr/bin/env python3
"""The benchmark's report: reads what bench/run measured in its work folder (inside.txt, the
record samples, the stripped binaries), prints the Markdown tables and one verdict per budget,
and exits 1 when a budget is over.

usage: bench/report.py --work DIR --reps N --high N --idle-seconds S --speedup X
                       --watchd-delay-ns NS [--musl FILE] [--size LABEL=FILE]...
"""
import argparse
import datetime
import os
import shutil
import subprocess
import sys

# The budgets, each compared as measured <= limit. A limit given as text names another
# measured value. A budget whose measured value was not taken (no musl binary) is left out.
BUDGETS = [
    # (name, measured key, limit, unit); {low}, {high} and {idle} are filled in
    ("start cost, one start, RLIMIT_NOFILE {low}, against the floor", "ratio single low", 1.3,
     "x"),
    ("start cost, burst of four, RLIMIT_NOFILE {low}, against the floor", "ratio burst low", 1.3,
     "x"),
    ("start cost, one start, RLIMIT_NOFILE {high}, against the floor", "ratio single high", 1.3,
     "x"),
    ("start cost, burst of four, RLIMIT_NOFILE {high}, against the floor", "ratio burst high",
     1.3, "x"),
    ("flash, watchd stripped (glibc, dynamic)", "size watchd", 24576, "B"),
    ("flash, m01_load stripped (glibc, dynamic)", "size m01_load", 20480, "B"),
    # The status companion is no larger than the daemon it reports on.
    ("flash, watchd-status stripped (glibc, dynamic)", "size watchd-status", "size watchd", "B"),
    ("flash, watchd static (musl)", "size musl", 81920, "B"),
    ("RAM, watchd static (musl), private dirty", "dirty musl", 44, "KiB"),
    ("RAM, watchd static (musl), private dirty against half of one runsv", "dirty musl",
     "dirty half runsv", "KiB"),
    ("RAM, watchd (glibc) private dirty above the minimal supervisor", "dirty above minimal", 24,
     "KiB"),
    ("RAM, watchd (glibc) with one child below four (one child minus four)",
     "dirty one minus four", -1, "KiB"),
    ("idle, watchd wakeups in {idle} s", "wakeups watchd", 0, ""),
    ("idle, watchd system calls in {idle} s", "syscalls watchd", 0, ""),
    ("idle, watchd (musl) wakeups and system calls in {idle} s", "wakeups and syscalls musl", 0,
     ""),
    ("cycle against killall calls plus floor starts", "ratio cycle", 1.2, "x"),
]


def number(text):
    """A number as awk reads one: text that is none counts as 0."""
    try:
        return float(text)
    except (TypeError, ValueError):
        return 0.0


def awk_number(value):
    """A computed number printed as awk prints one: whole numbers bare, others to 6 digits."""
    return str(int(value)) if value == int(value) else "%.6g" % value


def stats(values):
    """median, min, max of a column of numbers as text; "-" each when there are none."""
    if not values:
        return ["-", "-", "-"]
    values = sorted(values, key=float)
    n = len(values)
    if n % 2:
        median = values[n // 2]
    else:
        median = awk_number((float(values[n // 2 - 1]) + float(values[n // 2])) / 2)
    return [median, values[0], values[-1]]


def sample_us(path, kind, delay=0):
    """Per sample (blocks of records closed by "---"): one number in microseconds. KIND is
    start    the earliest of the starts' forks to the last start (one start or a burst); each
             start belongs to the latest fork before it that no later start took (s6-supervise
             forks for ./finish too)
    first    the first fork to the first start (the first start of a burst)
    restart  the first exit to the last start, less DELAY (the supervisor's fixed delay, ns)"""
    try:
        with open(path) as f:
            lines = f.read().splitlines()
    except OSError:
        return []
    out, forks, times = [], [], {}
    for line in lines:
        fields = line.split()
        what = fields[0] if fields else ""
        at = number(fields[3]) if len(fields) > 3 else 0.0

        def earliest(key):
            times[key] = min(times.get(key, at), at)

        if what == "fork":
            forks.append(at)
            earliest("fork")
        elif what == "exit":
            earliest("exit")
        elif what == "start":
            times["last"] = max(times.get("last", at), at)
            earliest("first")
            if forks:
                times["t0"] = min(times.get("t0", forks[-1]), forks.pop())
        elif what == "---":
            begin, end = {"start": ("t0", "last"), "first": ("fork", "first"),
                          "restart": ("exit", "last")}[kind]
            if begin in times and end in times:
                less = delay if kind == "restart" else 0
                out.append("%.1f" % ((times[end] - times[begin] - less) / 1000))
            forks, times = [], {}
    return out


def timing(samples, who, limit, case, kind, delay=0):
    """median, min, max over the samples of one supervisor, descriptor limit and case."""
    return stats(sample_us("%s/%s-%s-%s" % (samples, who, limit, case), kind, delay))


def ratio(a, b):
    if a == "-" or b == "-" or number(b) == 0:
        return "-"
    return "%.2f" % (number(a) / number(b))


def span(values):
    return "%s [%s-%s]" % tuple(values)


def size_of(path):
    return os.stat(path).st_size


def machine():
    model = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.rstrip("\n").split(": ")[1]
                break
    u = os.uname()
    return "%s %s %s, %d cores, %s" % (u.sysname, u.release, u.machine,
                                        len(os.sched_getaffinity(0)), model)


def libskarnet_of(program):
    ldd = subprocess.run(["ldd", program], capture_output=True, text=True, check=False).stdout
    for line in ldd.splitlines():
        if "libskarnet" in line:
            return line.split()[2]
    return None


def read_inside(work, what):
    """The lines of inside.txt that start with WHAT: "mem WHO dirty rss [processes]" and
    "idle WHO wakeups syscalls" by WHO; "rt" as "" to the rest of its line, space first."""
    found = {}
    with open(os.path.join(work, "inside.txt")) as f:
        for fields in (line.split() for line in f):
            if fields and fields[0] == what == "rt":
                found[""] = " " + " ".join(fields[1:])
            elif fields and fields[0] == what:
                found[fields[1]] = fields[2:]
    return found


def each(total, count):
    return str(int(int(total) / int(count)))


def header(a, rt, p):
    p("## watchd benchmark", "",
      "Machine: %s." % machine(),
      "Date: %s. Repetitions: %s per timed case; real-time priority: %s." %
      (datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"), a.reps, rt),
      "")


def flash(a, p, measured):
    bins = {name: size_of(os.path.join(a.work, "bin", name)) for name in
            ("watchd", "watchd-unhardened", "m01_load", "watchd-status", "m01_load-unhardened",
             "floor")}
    runsv, s6 = shutil.which("runsv"), shutil.which("s6-supervise")
    p("### Flash (stripped bytes)", "", "| binary | bytes |", "|---|---|",
      "| watchd (glibc, dynamic, hardened) | %d |" % bins["watchd"],
      "| watchd (glibc, dynamic, without hardening) | %d |" % bins["watchd-unhardened"],
      "| m01_load (glibc, dynamic, hardened) | %d |" % bins["m01_load"],
      "| watchd-status (glibc, dynamic, hardened) | %d |" % bins["watchd-status"],
      "| m01_load (glibc, dynamic, without hardening) | %d |" % bins["m01_load-unhardened"])
    if a.musl:
        measured["size musl"] = size_of(a.musl)
        p("| watchd (musl, static) | %d |" % measured["size musl"])
    for extra in a.size:
        label, path = extra.split("=", 1)
        p("| %s | %d |" % (label, size_of(path)))
    p("| runsv | %d |" % size_of(runsv),
      "| s6-supervise (+ libskarnet %d) | %d |" % (size_of(libskarnet_of(s6)), size_of(s6)),
      "| floor program (static) | %d |" % bins["floor"], "")
    for name in ("watchd", "m01_load", "watchd-status"):
        measured["size " + name] = bins[name]


def memory_and_idle(a, p, measured):
    mem, idle = read_inside(a.work, "mem"), read_inside(a.work, "idle")
    p("### Memory with four children, and idle for %s s" % a.idle_seconds, "",
      "| supervisor | processes | private dirty KiB | resident KiB | wakeups | system calls |",
      "|---|---|---|---|---|---|",
      "| watchd (glibc) | 1 | %s | %s | %s | %s |" % tuple(mem["watchd"] + idle["watchd"]),
      "| watchd (glibc), one child | 1 | %s | %s | | |" % tuple(mem["watchd1"]))
    if a.musl:
        p("| watchd (musl, static) | 1 | %s | %s | %s | %s |" % tuple(mem["musl"] + idle["musl"]))
    for who, label in (("runsv", "runsv"), ("s6", "s6-supervise")):
        dirty, rss, count = mem[who]
        p("| %s (one per child) | %s | %s (%s each) | %s | %s | %s |" %
          (label, count, dirty, each(dirty, count), rss, *idle[who]))
    p("| minimal C supervisor with libcjson | 1 | %s | %s | | |" % tuple(mem["minimal"]), "")
    measured["dirty above minimal"] = int(mem["watchd"][0]) - int(mem["minimal"][0])
    measured["dirty one minus four"] = int(mem["watchd1"][0]) - int(mem["watchd"][0])
    measured["wakeups watchd"], measured["syscalls watchd"] = idle["watchd"][:2]
    if a.musl:
        measured["dirty musl"] = mem["musl"][0]
        measured["dirty half runsv"] = int(int(each(mem["runsv"][0], mem["runsv"][2])) / 2)
        measured["wakeups and syscalls musl"] = int(idle["musl"][0]) + int(idle["musl"][1])


def starts(a, p, measured):
    p("### Start cost (µs, median [min-max]): supervisor's fork to the child's first line", "",
      "watchd's starts are those of its 160 cycle: the first one, and all four.", "",
      "| case | RLIMIT_NOFILE | watchd | runsv | s6-supervise | floor | floor, glibc parent"
      " | watchd / floor |",
      "|---|---|---|---|---|---|---|---|")
    s = os.path.join(a.work, "samples")
    for level, limit in (("low", "1024"), ("high", a.high)):
        for kind, label in (("single", "one start"), ("burst", "burst of four")):
            w = timing(s, "watchd", limit, "burst", "first" if kind == "single" else "start")
            fl = timing(s, "floor", limit, kind, "start")
            measured["ratio %s %s" % (kind, level)] = ratio(w[0], fl[0])
            p("| %s | %s | %s | %s | %s | %s | %s | %s |" %
              (label, limit, span(w), span(timing(s, "runsv", limit, kind, "start")),
               span(timing(s, "s6", limit, kind, "start")), span(fl),
               span(timing(s, "floor-glibc", limit, kind, "start")),
               measured["ratio %s %s" % (kind, level)]))
    p("")


def restarts(a, p):
    p("### Restart overhead beyond each supervisor's fixed delay (µs, median [min-max])", "",
      "watchd's 10 s delay runs at x%s under libfaketime (0.1 s); runsv restarts at once a"
      % a.speedup,
      "child that ran for more than a second; s6-supervise forks for ./finish, then waits 1 s.",
      "", "| RLIMIT_NOFILE | watchd | runsv | s6-supervise |", "|---|---|---|---|")
    s = os.path.join(a.work, "samples")
    for limit in ("1024", a.high):
        p("| %s | %s | %s | %s |" % (
            limit, span(timing(s, "watchd", limit, "single", "restart", a.watchd_delay_ns)),
            span(timing(s, "runsv", limit, "single", "restart")),
            span(timing(s, "s6", limit, "single", "restart", 1000000000))))
    p("")


def cycle_160(a, p, measured):
    s = os.path.join(a.work, "samples")
    cycle = timing(s, "watchd", "1024", "burst", "restart")
    with open(os.path.join(s, "killall")) as f:
        killall = stats(f.read().split())
    burst4 = timing(s, "floor", "1024", "burst", "start")
    reference = "%.1f" % (number(killall[0]) + number(burst4[0]))
    share = "%.0f" % (100 * number(killall[0]) / number(cycle[0])) if number(cycle[0]) else "-"
    p("### The 160 cycle with four children (µs, median [min-max])", "",
      "| what | µs |", "|---|---|",
      "| watchd: exit 160 to the fourth child's first line | %s |" % span(cycle),
      "| four system(\"killall -9 NAME\") | %s (%s %% of the cycle) |" % (span(killall), share),
      "| four floor starts | %s |" % span(burst4),
      "| reference: killall calls plus floor starts | %s |" % reference, "")
    measured["ratio cycle"] = ratio(cycle[0], reference)


def report(a, out):
    """Prints the report; returns the number of budgets over."""
    def p(*lines):
        print(*lines, sep="\n", file=out)

    measured = {}
    header(a, read_inside(a.work, "rt").get("", ""), p)
    flash(a, p, measured)
    memory_and_idle(a, p, measured)
    starts(a, p, measured)
    restarts(a, p)
    cycle_160(a, p, measured)
    return judge(measured, p, low="1024", high=a.high, idle=a.idle_seconds)


def judge(measured, p, **names):
    """Prints one verdict line per budget measured; returns the number of budgets over."""
    p("### Verdicts", "")
    over = 0
    for name, key, limit, unit in BUDGETS:
        if key not in measured:
            continue
        value = measured[key]
        if isinstance(limit, str):
            limit = measured[limit]
        bad = value == "-" or number(value) > number(limit)
        over += bad
        p("- %s: %s %s (budget %s %s): %s" % (name.format(**names), value, unit, limit, unit,
                                            "over budget" if bad else "within budget"))
    return over


def main():
    parser = argparse.ArgumentParser(description="The benchmark's report from its work folder.")
    parser.add_argument("--work", required=True)
    parser.add_argument("--reps", required=True)
    parser.add_argument("--high", required=True)
    parser.add_argument("--idle-seconds", required=True)
    parser.add_argument("--speedup", required=True)
    parser.add_argument("--watchd-delay-ns", type=int, required=True)
    parser.add_argument("--musl", default="")
    parser.add_argument("--size", action="append", default=[], metavar="LABEL=FILE")
    return 1 if report(parser.parse_args(), sys.stdout) else 0


if __name__ == "__main__":
    sys.exit(main())
