#!/usr/bin/env python3
"""Start-up cost of our programs, each run as a whole process, side by side in one run.

The tools: `mulvo get` and `mulvo set` on the virtual adapter against `mulvo-sim status` (a tool
that only maps the adapter's segment) and, where installed, `gpioget --help`. The window
program: DOVRAX from exec to its first frame against the bare demo host window
(`dovrax-hostdemo`), both on a virtual X server of their own.

What is measured is CPU time (user + system, from wait4, every thread counted), which a busy
machine disturbs far less than wall time; wall times are printed beside. A window program is
timed until its window is on the screen and it has gone idle, then killed with SIGKILL so that
no shutdown is counted. Runs of the programs compared are interleaved, and medians reported.

Exit status 1 when `mulvo get` costs more than 1.5 times `mulvo-sim status`, or DOVRAX more than
1.3 times the demo host; 2 when something could not be run.

    bench/startup.py [--build DIR] [--runs N] [--window-runs N]
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

TOOL_LIMIT = 1.5  # mulvo get / mulvo-sim status
WINDOW_LIMIT = 1.3  # DOVRAX / demo host


def fail(text):
    print(f"startup: {text}", file=sys.stderr)
    sys.exit(2)


def run_process(argv, env, cwd=None):
    """Runs argv to its end; returns (cpu seconds, wall seconds)."""
    start = time.monotonic()
    process = subprocess.Popen(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    stderr = process.stderr.read()
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.monotonic() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        fail(f"{' '.join(argv)} exited with {process.returncode}: {stderr.decode(errors='replace')}")
    return usage.ru_utime + usage.ru_stime, wall


def process_ticks(pid):
    """utime + stime of a running process, in clock ticks."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def window_visible(pid, env):
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)], env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return found.returncode == 0 and found.stdout.strip() != b""


def run_window(argv, env, cwd, timeout=30.0):
    """Starts a window program; once its window is visible and it has used no CPU for 300 ms,
    kills it. Returns (cpu seconds, wall seconds to the visible window)."""
    start = time.monotonic()
    errors = tempfile.TemporaryFile()
    process = subprocess.Popen(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=errors)
    shown = None
    try:
        while shown is None:
            if process.poll() is not None:
                errors.seek(0)
                fail(f"{' '.join(argv)} ended with {process.returncode} before its window: "
                     + errors.read()[-2000:].decode(errors="replace"))
            if time.monotonic() - start > timeout:
                fail(f"{' '.join(argv)} showed no window in {timeout} s")
            if window_visible(process.pid, env):
                shown = time.monotonic() - start
            else:
                time.sleep(0.02)
        last, still = process_ticks(process.pid), 0
        while still < 3:
            time.sleep(0.1)
            now = process_ticks(process.pid)
            still = still + 1 if now == last else 0
            last = now
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGKILL)
    _, _, usage = os.wait4(process.pid, 0)
    return usage.ru_utime + usage.ru_stime, shown


def start_display(env):
    """A virtual X server of our own, on the first display number that is free and answers."""
    for number in range(100 + os.getpid() % 100, 400):
        if os.path.exists(f"/tmp/.X{number}-lock"):
            continue
        read_end, write_end = os.pipe()
        # -noreset: a server resets when its last client goes, and refuses connections while
        # it does, which is just when the next start connects.
        server = subprocess.Popen(["Xvfb", f":{number}", "-displayfd", str(write_end),
                                   "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                                   "-noreset"],
                                  pass_fds=[write_end], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        os.close(write_end)
        ready = b""
        while not ready.endswith(b"\n"):
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            ready += chunk
        os.close(read_end)
        env["DISPLAY"] = f":{number}"
        answered = subprocess.run(["xdotool", "getdisplaygeometry"], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if ready and answered.returncode == 0:
            return server
        server.terminate()
        server.wait()
    fail("no virtual X server could be started")


def summary(name, samples):
    cpu = statistics.median(s[0] for s in samples) * 1000
    wall = statistics.median(s[1] for s in samples) * 1000
    low = min(s[0] for s in samples) * 1000
    high = max(s[0] for s in samples) * 1000
    print(f"  {name:<24} CPU median {cpu:7.2f} ms (min {low:.2f}, max {high:.2f})"
          f"   wall median {wall:7.2f} ms")
    return cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build", help="build tree (default: build)")
    parser.add_argument("--runs", type=int, default=40, help="runs of each tool (default 40)")
    parser.add_argument("--window-runs", type=int, default=15,
                        help="starts of each window program (default 15)")
    args = parser.parse_args()
    binaries = os.path.join(os.path.abspath(args.build), "bin")
    mulvo = os.path.join(binaries, "mulvo")
    sim = os.path.join(binaries, "mulvo-sim")
    dovrax = os.path.join(binaries, "dovrax")
    hostdemo = os.path.join(binaries, "dovrax-hostdemo")
    for program in (mulvo, sim, dovrax, hostdemo):
        if not os.access(program, os.X_OK):
            fail(f"{program} is not built")
    for program in ("Xvfb", "xdotool"):
        if not shutil.which(program):
            fail(f"{program} is not installed")

    scratch = tempfile.mkdtemp(prefix="dovrax-startup-")
    try:
        # A home, settings and runtime folder of our own: nothing of the user's decides.
        env = {key: value for key, value in os.environ.items()
               if key not in ("DOVRAX_MULVOLIB", "QT_QPA_PLATFORM", "WAYLAND_DISPLAY")}
        for name in ("home", "config", "runtime"):
            os.mkdir(os.path.join(scratch, name), 0o700)
        env["HOME"] = os.path.join(scratch, "home")
        env["XDG_CONFIG_HOME"] = os.path.join(scratch, "config")
        env["XDG_RUNTIME_DIR"] = os.path.join(scratch, "runtime")
        env["MULVO_SIM_INSTANCE"] = f"bench-startup-{os.getpid()}"
        with open(os.path.join(scratch, "setup.ini"), "w") as setup:
            setup.write("[OPEN_APP]\nNAME=DOVRAX Host Demo\n")
        run_process([sim, "reset"], env)

        tools = [("mulvo get", [mulvo, "get"]),
                 ("mulvo set", [mulvo, "set", "0x55"]),
                 ("mulvo-sim status", [sim, "status"])]
        if shutil.which("gpioget"):
            tools.append(("gpioget --help", ["gpioget", "--help"]))
        samples = {name: [] for name, _ in tools}
        for name, argv in tools:  # warm the page cache
            run_process(argv, env)
        for _ in range(args.runs):
            for name, argv in tools:
                samples[name].append(run_process(argv, env))

        server = start_display(env)
        try:
            windows = [("dovrax", [dovrax]),
                       ("dovrax-hostdemo", [hostdemo, "DOVRAX Host Demo"])]
            for name, argv in windows:
                samples[name] = []
                run_window(argv, env, scratch)  # warm the page cache
            for _ in range(args.window_runs):
                for name, argv in windows:
                    samples[name].append(run_window(argv, env, scratch))
                    # A killed copy leaves its lock and socket behind; the next start is a
                    # first start again.
                    for entry in os.listdir(env["XDG_RUNTIME_DIR"]):
                        if entry.endswith((".lock", ".socket")):
                            os.unlink(os.path.join(env["XDG_RUNTIME_DIR"], entry))
        finally:
            server.terminate()
            server.wait()
    finally:
        subprocess.run([sim, "reset"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        shutil.rmtree(scratch, ignore_errors=True)

    print(f"Whole processes, {args.runs} runs each, interleaved:")
    medians = {name: summary(name, samples[name]) for name, _ in tools}
    print(f"Window programs to their first frame (window visible, then idle), "
          f"{args.window_runs} starts each, interleaved; wall = until the window is visible:")
    medians["dovrax"] = summary("dovrax", samples["dovrax"])
    medians["dovrax-hostdemo"] = summary("dovrax-hostdemo", samples["dovrax-hostdemo"])

    tool_ratio = medians["mulvo get"] / medians["mulvo-sim status"]
    window_ratio = medians["dovrax"] / medians["dovrax-hostdemo"]
    print("Ratios of the CPU medians:")
    print(f"  mulvo get / mulvo-sim status   {tool_ratio:5.2f}  (limit {TOOL_LIMIT})")
    print(f"  mulvo set / mulvo-sim status   "
          f"{medians['mulvo set'] / medians['mulvo-sim status']:5.2f}")
    if "gpioget --help" in medians:
        print(f"  mulvo get / gpioget --help     "
              f"{medians['mulvo get'] / medians['gpioget --help']:5.2f}")
    print(f"  dovrax / dovrax-hostdemo       {window_ratio:5.2f}  (limit {WINDOW_LIMIT})")
    status = 0
    if tool_ratio > TOOL_LIMIT:
        print(f"FAIL: mulvo get costs {tool_ratio:.2f} times mulvo-sim status")
        status = 1
    if window_ratio > WINDOW_LIMIT:
        print(f"FAIL: DOVRAX's start costs {window_ratio:.2f} times the demo host's")
        status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
