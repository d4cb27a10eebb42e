#!/usr/bin/python3
"""scaling.py: one tolmar session on a DEM, measured from outside as a user
meets it: the wait before the first treatment question, the first stamp
(which puts the new result set in place: its files made durable and
renamed), then for each of a dozen treatments (zones 10, 50 and 200, points spread over the DEM) the
wall-clock time and the processor time from the answer to the next menu,
then Exit; the run's peak resident memory, its own (anonymous) memory and
the file pages it maps, as the kernel counts them.

Usage: scaling.py TOLMAR WORKDIR FOLDER NAME SIDE   (run by large-dem.sh)
Prints one line of JSON."""
import json
import os
import statistics
import subprocess
import sys
import time

tolmar, work, folder, name, side = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
p = subprocess.Popen([tolmar], cwd=work, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
out = b""


def wait_for(text, times):
    global out
    while out.count(text) < times:
        chunk = os.read(p.stdout.fileno(), 65536)
        if not chunk:
            raise SystemExit("tolmar ended early:\n" + out[-2000:].decode(errors="replace"))
        out += chunk


def cpu_ns():
    # The main thread's processor time, in nanoseconds.
    with open("/proc/%d/schedstat" % p.pid) as f:
        return int(f.read().split()[0])


def status(field):
    with open("/proc/%d/status" % p.pid) as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    return 0


t0 = time.perf_counter()
p.stdin.write(("%s\n%s\n0\n0\n1\n0\n" % (folder, name)).encode())
wait_for(b"line ? ", 1)
first = time.perf_counter() - t0
times = {10: [], 50: [], 200: []}
menus = 0
first_stamp = 0
for k in range(13):
    zone = (10, 50, 200)[k % 3] if k else 10
    m = 3 * zone // 2 + 2
    i = m + (k * 7919) % (side - 2 * m)
    j = m + (k * 104729) % (side - 2 * m)
    answer = ("0\n" if k else "") + "%d %d 20 %d %d\n" % (i, j, (k * 72 + 45) % 360, zone)
    c0, w0 = cpu_ns(), time.perf_counter()
    p.stdin.write(answer.encode())
    menus += 1
    wait_for(b"5 ====> Exit", menus)
    if k == 0:
        first_stamp = time.perf_counter() - w0
    else:
        times[zone].append((time.perf_counter() - w0, (cpu_ns() - c0) / 1e9))
peak, anon, file_pages = status("VmHWM:"), status("RssAnon:"), status("RssFile:") + status("RssShmem:")
p.stdin.write(b"5\n")
p.stdin.close()
while os.read(p.stdout.fileno(), 65536):
    pass
p.wait()
print(json.dumps({
    "side": side, "first_question_s": first, "first_stamp_s": first_stamp,
    "treatment_ms": {z: {"wall": 1000 * statistics.median(w for w, c in v), "cpu": 1000 * statistics.median(c for w, c in v)}
                     for z, v in times.items()},
    "peak_rss_bytes": peak, "anon_bytes": anon, "file_bytes": file_pages, "status": p.returncode}))
