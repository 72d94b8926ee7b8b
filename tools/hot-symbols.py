#!/usr/bin/env python3
"""Lists the program's functions and variables that an idle frame touches,
for the link order (cmake/HotSymbols.cmake). A frame wakes from its sleep to
cold caches and TLB, so what it costs follows the pages it touches, and the
symbols it needs are linked next to each other.

The program runs headless under valgrind's lackey with a home folder of its
own; every address the trace shows in FRAMES frames, after the first SKIP
(the boot and its chime), is mapped to the symbol that holds it.

It needs valgrind (Debian's package of that name), which the build and the
tests do not, so tools/install-deps.sh leaves it out: install it first.

    tools/hot-symbols.py BUILD_DIR > cmake/hot_symbols.txt

tools/check-hot-symbols.sh, which CI runs on the Release build, fails when a
listed name is no longer a symbol of the program.
"""
import bisect
import os
import shutil
import signal
import subprocess
import sys
import tempfile

SKIP, FRAMES = 600, 600
FRAME_END = "_Z9end_framev"


def symbols(program):
    out = subprocess.run(["nm", "-S", "--defined-only", program], capture_output=True, text=True, check=True).stdout
    code, data = [], []
    for line in out.splitlines():
        f = line.split()
        if len(f) != 4 or int(f[1], 16) == 0:
            continue
        if f[3] in ("_GLOBAL_OFFSET_TABLE_", "_DYNAMIC"):
            continue  # the linker's own tables: no section to place
        entry = (int(f[0], 16), int(f[1], 16), f[3])
        if f[2] in "tTwW":
            code.append(entry)
        elif f[2] in "bBdDrRvV":
            data.append(entry)
    return sorted(code), sorted(data)


def load_base(pid, program):
    with open(f"/proc/{pid}/maps") as maps:
        for line in maps:
            f = line.split()
            if len(f) >= 6 and f[5] == program and int(f[2], 16) == 0:
                return int(f[0].split("-")[0], 16)
    sys.exit(f"hot-symbols: {program} is not mapped")


def trace(program):
    """The program-relative addresses touched in the frames traced."""
    home = tempfile.mkdtemp()
    env = dict(os.environ, SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="dummy")
    r, w = os.pipe()
    vg = subprocess.Popen(["valgrind", "--tool=lackey", "--trace-mem=yes", f"--log-fd={w}",
                           program, "-home", home, "-x"],
                          env=env, pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    touched, base, marker, frames = set(), None, None, 0
    try:
        with os.fdopen(r, errors="replace") as log:
            for line in log:
                if line[0] != "I" and line[:2] not in (" L", " S", " M"):
                    continue
                if base is None:  # the program is mapped before its first instruction runs
                    base = load_base(vg.pid, program)
                    marker = "I  %08x," % (base + end_frame)
                if line.startswith(marker):
                    frames += 1
                    if frames == SKIP + FRAMES:
                        break
                elif frames >= SKIP:
                    touched.add(int(line[3:line.index(",")], 16) - base)
    finally:
        vg.send_signal(signal.SIGKILL)
        vg.wait()
        shutil.rmtree(home, ignore_errors=True)
    if frames < SKIP + FRAMES:
        sys.exit(f"hot-symbols: the trace ended after {frames} frames")
    return touched


def holders(entries, addresses):
    starts = [e[0] for e in entries]
    found = set()
    for a in addresses:
        i = bisect.bisect_right(starts, a) - 1
        if i >= 0 and a < entries[i][0] + entries[i][1]:
            found.add(entries[i])
    return found


if len(sys.argv) != 2:
    sys.exit(__doc__)
if not shutil.which("valgrind"):
    sys.exit("hot-symbols: valgrind is needed for the trace (apt-get install valgrind)")
program = os.path.realpath(os.path.join(sys.argv[1], "halvoran"))
code, data = symbols(program)
end_frame = next(a for a, _, name in code if name == FRAME_END)
touched = trace(program)
print("# What an idle frame touches, linked together (tools/hot-symbols.py writes it).")
for _, _, name in sorted(holders(code, touched), key=lambda e: e[2]):
    print(name)
# Small variables first, so they share as few pages as they can.
for _, _, name in sorted(holders(data, touched), key=lambda e: (e[1], e[2])):
    print(name)
