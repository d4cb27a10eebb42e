#!/usr/bin/env python3
"""net.py: the net under every change. Runs the same random console sessions,
and whole sessions with every companion, through two builds (an earlier one
and the one under test) and compares all they print and write: standard
output and error, statuses, the result files byte for byte, and each
companion's output.

    python3 scripts/net.py OLD_BUILD NEW_BUILD [--sessions N] [--whole M] [--seed S]

Prints one line per session that differs (and the first lines of its
difference), then a summary; the status is 1 when any differ. A session is
kept under --keep DIR when it differs, to look at by hand.
"""
import argparse
import hashlib
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "examples")

# The bundled DEMs: (folder, name, type answer, unit answer).
BUNDLED = [("jacksboro", "jacksboro_m2", 0, 0), ("jacksboro", "jacksboro_m4", 1, 1), ("salish", "salish_m4", 1, 2)]


def synthetic_dem(rng, folder):
    """A small random DEM: a tilted plane with hills, 16 or 32 bits, with or
    without a descriptor or a pixel size."""
    rows, cols = rng.randint(3, 90), rng.randint(3, 90)
    bits32 = rng.random() < 0.4
    a, b, c = rng.uniform(-30, 30), rng.uniform(-30, 30), rng.uniform(500, 3000)
    hills = [(rng.uniform(0, rows), rng.uniform(0, cols), rng.uniform(-400, 400), rng.uniform(2, 15)) for _ in range(3)]
    samples = []
    for i in range(rows):
        for j in range(cols):
            z = c + a * i + b * j
            for hi, hj, hz, hr in hills:
                z += hz / (1 + ((i - hi) ** 2 + (j - hj) ** 2) / hr ** 2)
            z += rng.uniform(-3, 3)
            samples.append(max(0, min(65535, int(z))) if not bits32 else int(z * 10))
    name = "syn"
    suffix = "_m4" if bits32 else "_m2"
    raw = struct.pack("<%d%s" % (len(samples), "i" if bits32 else "H"), *samples)
    with open(os.path.join(folder, name + suffix + ".raw"), "wb") as f:
        f.write(raw)
    kind = rng.random()
    pix = rng.choice([0, 10, 30, 83, 100])
    if kind < 0.8:
        with open(os.path.join(folder, name + suffix + ".txt"), "w") as f:
            f.write("%d %d %d %d %d %d\n" % (rows, cols, 4 if bits32 else 2, 0, 0, pix))
    return name, 1 if bits32 else 0, rows, cols, kind >= 0.8


def noise(rng):
    return rng.choice(["abc", "1.5", "", "99999999999", "-", "x1"])


def treatment_answers(rng, rows, cols, first):
    """One treatment's answers after a menu answer (or the first)."""
    out = []
    if not first:
        menu = rng.choices([0, 1, 2, 3, 4, -1, 7], weights=[5, 3, 2, 2, 2, 1, 1])[0]
        out.append(str(menu))
        if menu == 7:
            out.append(str(rng.choice([0, 1])))
            menu = int(out[-1])
    else:
        menu = 0
    def point():
        if rng.random() < 0.1:
            return [str(rng.randint(-5, rows + 5)), str(rng.randint(-5, cols + 5))]
        return [str(rng.randint(0, max(0, rows - 1))), str(rng.randint(0, max(0, cols - 1)))]
    dip = lambda: str(rng.choice([rng.randint(0, 90), rng.randint(0, 90), rng.randint(-100, 200)]))
    dirn = lambda: str(rng.choice([rng.randint(0, 359), rng.randint(0, 359), rng.randint(-400, 800)]))
    zone = lambda: str(rng.choice([rng.randint(1, max(1, min(rows, cols) // 3)), rng.randint(-1, 40)]))
    if menu in (0, 1):
        out += point()
    if menu == 0:
        out += [dip(), dirn(), zone()]
    elif menu == 2:
        out.append(dip())
    elif menu == 3:
        out.append(dirn())
    elif menu == 4:
        out.append(zone())
    if rng.random() < 0.05:
        out.insert(rng.randint(0, len(out)), noise(rng))
    return out


def session(rng, work):
    """A random console session in `work`: its DEM and its answers."""
    images = os.path.join(work, "images")
    if rng.random() < 0.5:
        folder, name, type_answer, unit = rng.choice(BUNDLED)
        os.makedirs(os.path.join(images, folder))
        for ext in (".raw", ".txt"):
            shutil.copy(os.path.join(EXAMPLES, folder, name + ext), os.path.join(images, folder))
        dem = name[:-3]
        ask_sizes, rows, cols = False, 0, 0
        with open(os.path.join(images, folder, name + ".txt")) as f:
            rows, cols = [int(x) for x in f.read().split()[:2]]
    else:
        folder = "s"
        os.makedirs(os.path.join(images, folder))
        dem, type_answer, rows, cols, ask_sizes = synthetic_dem(rng, os.path.join(images, folder))
        unit = rng.randint(0, 3)
    answers = [folder, dem, str(type_answer)]
    if ask_sizes:
        answers += [str(rows), str(cols), str(rng.choice([0, 30, 83]))]
    result = rng.random() < 0.3
    answers.append("1" if result else "0")
    if result:
        answers.append(rng.choice(["r", "run2", "a.b"]))
    answers.append(str(unit))
    answers.append(str(rng.choice([30, 83])))  # a pixel size, if asked; else read as the background
    answers.append(str(rng.choice([0, 1, 0, -1])))
    n = rng.randint(1, 14)
    for k in range(n):
        answers += treatment_answers(rng, rows, cols, k == 0)
    if rng.random() < 0.8:
        answers.append("5")
    return answers, rng.random() < 0.3


def run(cmd, cwd, stdin=b""):
    p = subprocess.run(cmd, cwd=cwd, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    return p.returncode, p.stdout, p.stderr


def snapshot(work, skip=()):
    """Every file under `work` by its path, as a digest of its bytes."""
    out = {}
    for base, dirs, files in os.walk(work):
        for f in files:
            p = os.path.join(base, f)
            rel = os.path.relpath(p, work)
            if rel in skip:
                continue
            with open(p, "rb") as h:
                out[rel] = hashlib.sha256(h.read()).hexdigest()
    return out


def console_case(build, answers, true_geometry, work):
    args = [os.path.join(build, "tolmar")] + (["--geometry", "true"] if true_geometry else [])
    code, out, err = run(args, work, ("\n".join(answers) + "\n").encode())
    return {"status": code, "out": out.decode("latin-1"), "err": err.decode("latin-1"), "files": snapshot(work)}


def companions(build, work, rng):
    """Every companion on the set a session left, as a user would run them."""
    res = {}
    sets = []
    for base, dirs, files in os.walk(os.path.join(work, "images")):
        for f in files:
            if f.endswith("_tolmar.raw"):
                sets.append(os.path.relpath(os.path.join(base, f), work))
    for s in sorted(sets):
        log = s[:-4] + ".txt"
        dem = None
        for f in sorted(os.listdir(os.path.join(work, os.path.dirname(s)))):
            if f.endswith(("_m2.raw", "_m4.raw")):
                dem = os.path.join(os.path.dirname(s), f)
        for fmt in ("geojson", "csv"):
            out = "export." + fmt
            res["export " + fmt] = run([os.path.join(build, "tolmar-export"), s, "--format", fmt, "-o", out], work)
            if os.path.exists(os.path.join(work, out)):
                with open(os.path.join(work, out), "rb") as h:
                    res["export " + fmt + " file"] = h.read()
        unit = {"jacksboro_m4": "dm", "salish_m4": "cm"}.get(os.path.basename(dem or "")[:-4], "m")
        if dem:
            res["preview"] = run([os.path.join(build, "tolmar-preview"), "--unit", unit, dem, s, "p.png"], work)
            if os.path.exists(os.path.join(work, "p.png")):
                with open(os.path.join(work, "p.png"), "rb") as h:
                    res["preview file"] = hashlib.sha256(h.read()).hexdigest()
        res["replay"] = run([os.path.join(build, "tolmar-replay"), "--unit", unit, log], work)
        # The first trace of the set as a contact, fitted.
        code, out, err = res["export csv"] if "export csv" in res else (1, b"", b"")
        if dem and code == 0 and os.path.exists(os.path.join(work, "export.csv")):
            with open(os.path.join(work, "export.csv")) as h:
                lines = h.read().splitlines()
            pts = [l.split(",") for l in lines[1:] if l.startswith("1,")]
            if len(pts) >= 3:
                with open(os.path.join(work, "contact.csv"), "w") as h:
                    h.write("row,column\n" + "".join("%s,%s\n" % (p[1], p[2]) for p in pts[:60]))
                c = run([os.path.join(build, "tolmar-fit"), "--unit", unit, "--json", dem, "contact.csv"], work)
                res["fit"] = c
    return res


def compare(a, b):
    """The first differences of two results, as lines."""
    diffs = []
    def walk(x, y, where):
        if isinstance(x, dict) and isinstance(y, dict):
            for k in sorted(set(x) | set(y)):
                if k not in x or k not in y:
                    diffs.append("%s%s: only in %s" % (where, k, "old" if k in x else "new"))
                else:
                    walk(x[k], y[k], where + str(k) + ".")
        elif isinstance(x, tuple) and isinstance(y, tuple):
            for k, (p, q) in enumerate(zip(x, y)):
                walk(p, q, where + "%d." % k)
        elif x != y:
            if isinstance(x, (str, bytes)) and isinstance(y, (str, bytes)):
                xs = x.decode("latin-1") if isinstance(x, bytes) else x
                ys = y.decode("latin-1") if isinstance(y, bytes) else y
                xl, yl = xs.splitlines(), ys.splitlines()
                for n, (p, q) in enumerate(zip(xl, yl)):
                    if p != q:
                        diffs.append("%s line %d: old %r / new %r" % (where, n + 1, p[:160], q[:160]))
                        return
                diffs.append("%s: %d lines against %d" % (where, len(xl), len(yl)))
            else:
                diffs.append("%s: old %r / new %r" % (where, x, y))
    walk(a, b, "")
    return diffs


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--sessions", type=int, default=300)
    ap.add_argument("--whole", type=int, default=30)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--keep", default="")
    a = ap.parse_args()
    differ = 0
    total = a.sessions + a.whole
    for n in range(total):
        whole = n >= a.sessions
        seed = a.seed * 1000003 + n
        results = []
        for build in (a.old, a.new):
            rng = random.Random(seed)
            work = tempfile.mkdtemp(prefix="tolmar-net-")
            try:
                answers, true_geometry = session(rng, work)
                r = console_case(os.path.abspath(build), answers, true_geometry, work)
                if whole:
                    r["companions"] = companions(os.path.abspath(build), work, rng)
                results.append((r, answers, true_geometry))
            finally:
                shutil.rmtree(work, ignore_errors=True)
        d = compare(results[0][0], results[1][0])
        if d:
            differ += 1
            print("session %d (seed %d, %s, %d answers): %d differences" % (n, seed, "whole" if whole else "console", len(results[0][1]), len(d)))
            for line in d[:4]:
                print("   ", line)
            if a.keep:
                os.makedirs(a.keep, exist_ok=True)
                with open(os.path.join(a.keep, "session-%d.json" % n), "w") as h:
                    json.dump({"answers": results[0][1], "true": results[0][2], "diffs": d}, h, indent=1)
    print("net: %d of %d sessions differ (%d console, %d whole)" % (differ, total, a.sessions, a.whole))
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
