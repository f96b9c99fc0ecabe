#!/usr/bin/env python3
"""One boot of the emulated router: runs the emulator given after "--" with its console on a
pipe, copies the console to a log (and to standard output with --show), and ends the run:
  --cut MARKER DELAY  SIGKILL the emulator (a power cut) DELAY seconds after the first console
                      line that holds MARKER
  --end MARKER        SIGKILL it as soon as a line holds MARKER (used to time a dry run)
  --limit SECONDS     SIGKILL it when it has not ended by then
Otherwise the guest powers itself off. The last line printed on standard error names how the run
ended and the host's times of the marker lines: "ended cut|end|limit|exit at=... marks=..."."""
import argparse
import os
import selectors
import signal
import subprocess
import sys
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--log", required=True)
    parser.add_argument("--show", action="store_true")
    parser.add_argument("--cut", nargs=2, metavar=("MARKER", "DELAY"))
    parser.add_argument("--end")
    parser.add_argument("--mark", action="append", default=[],
                        help="a marker whose first time is reported")
    parser.add_argument("--limit", type=float, default=300)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command

    start = time.monotonic()
    qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    selector = selectors.DefaultSelector()
    selector.register(qemu.stdout, selectors.EVENT_READ)
    marks = {}
    deadline = start + args.limit
    ended = "exit"
    pending = b""
    with open(args.log, "wb") as log:
        while True:
            now = time.monotonic()
            if now >= deadline:
                ended = "cut" if args.cut and args.cut[0] in marks else "limit"
                break
            if not selector.select(timeout=deadline - now):
                continue
            chunk = os.read(qemu.stdout.fileno(), 65536)
            if not chunk:
                break
            log.write(chunk)
            if args.show:
                sys.stdout.buffer.write(chunk.replace(b"\r", b""))
                sys.stdout.flush()
            pending += chunk
            *lines, pending = pending.split(b"\n")
            for line in lines:
                text = line.decode("utf-8", "replace")
                for marker in args.mark + ([args.cut[0]] if args.cut else []) + [args.end or ""]:
                    if marker and marker in text and marker not in marks:
                        marks[marker] = time.monotonic() - start
                        if args.cut and marker == args.cut[0]:
                            deadline = min(deadline, time.monotonic() + float(args.cut[1]))
                        if marker == args.end:
                            deadline = time.monotonic()
            if args.end and args.end in marks:
                ended = "end"
                break
    if qemu.poll() is None:
        qemu.send_signal(signal.SIGKILL)
    qemu.wait()
    at = time.monotonic() - start
    listed = ",".join(f"{marker.replace(' ', '_')}={t:.3f}" for marker, t in marks.items())
    print(f"ended {ended} at={at:.3f} marks={listed}", file=sys.stderr)


if __name__ == "__main__":
    main()
