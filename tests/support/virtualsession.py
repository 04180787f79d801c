# The window's tests with a screen reader run on a virtual X display in a
# D-Bus session of their own, so they reach neither the user's display nor
# the user's accessibility bus.
import os, subprocess, sys, tempfile


def enter(timeout, screen=None):
    """Run as `script.py ARGS...`: starts Xvfb and a D-Bus session, runs the
    script again inside them as `script.py --inside SCRATCH ARGS...` and exits
    with its status. Run that way, returns (SCRATCH, ARGS)."""
    if sys.argv[1:2] == ["--inside"]:
        return sys.argv[2], sys.argv[3:]
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp"]
                            + (["-screen", "0", screen] if screen else []),
                            pass_fds=[write_end], stderr=subprocess.DEVNULL)
    os.close(write_end)
    try:
        with os.fdopen(read_end) as display, tempfile.TemporaryDirectory() as scratch:
            env = dict(os.environ, DISPLAY=":" + display.readline().strip(), QT_QPA_PLATFORM="xcb",
                       QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", XDG_RUNTIME_DIR=scratch, HOME=scratch, LANG="C.UTF-8")
            env.pop("AT_SPI_BUS_ADDRESS", None)
            inside = [sys.executable, sys.argv[0], "--inside", scratch] + sys.argv[1:]
            run = subprocess.run(["dbus-run-session", "--"] + inside, env=env, timeout=timeout)
            sys.exit(run.returncode)
    finally:
        xvfb.terminate()
