#!/usr/bin/python3
# The window as a blind user hears it: Debian's screen reader, Orca, reads
# it on a virtual display with a window manager, driven by keys alone
# (XTEST). What Orca says is read from its debug log, which records every
# line it speaks, with speech itself turned off.
#
#   test_orca.py <test_contentview>               the window on scripted devices
#   test_orca.py --device <VeltaUpdater> FIRMWARE  the application on the device (the test VM)
import os, struct, subprocess, sys, threading, time
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
import virtualsession

# Each step: what it does, the keys it presses, then what Orca must say
# after them: each entry is found in one spoken line, in this order; and
# optionally the new status, which Orca may say before or after the control
# that has the focus (or the alert that comes with it).
STEPS = [
    ("the window comes up", [], ["USB Firmware (.uf2)", "radio button"]),
    ("Right chooses the Core target", ["Right"], ["Core Firmware (.hex)", "radio button"],
     ["Core firmware update ready."]),
    ("the path box, empty", ["Tab"], ["Firmware File", "No firmware file selected"]),
    ("the file dialog", ["Tab", "space"], ["Choose Core Firmware dialog", "File name"]),
    ("a file chosen", ["type:core.hex", "Return"], ["Choose…"], ["Firmware file selected."]),
    ("the path box, filled", ["shift+Tab"], ["Firmware File", "core.hex"]),
    # Orca says a progress bar's value at most every 10 s by itself: here at the Core's start.
    ("a Core update that works", ["Return"],
     ["Uploading Core firmware…", "percent", "Core firmware upload complete."], ["Done."]),
    ("back from the alert", ["Return"], ["Firmware File"]),
    # Orca's read-status-bar command: Orca+KP_Enter twice, apart from the Return before.
    ("the status read on demand", ["pause", "KP_Insert+KP_Enter KP_Insert+KP_Enter"], ["Done. statusbar"]),
    ("the port gone: an update that fails", ["unplug", "Return"],
     ["Uploading Core firmware…", "alert VELTA 2 Updater", "Core firmware update failed."], ["Failed."]),
    ("back from the alert", ["Return"], ["Firmware File"]),
    ("Left chooses the USB target", ["shift+Tab", "Left"], ["USB Firmware (.uf2)", "radio button"],
     ["USB firmware update ready."]),
    ("a refusal: no file", ["Return"], ["Please choose a firmware file first."]),
    ("back from the alert", ["Return"], ["USB Firmware (.uf2)"]),
    ("the file dialog", ["Tab", "Tab", "space"], ["Choose USB Firmware dialog", "File name"]),
    ("a file chosen", ["type:velta-usb.uf2", "Return"], ["Choose…"], ["Firmware file selected."]),
    ("a USB update that works", ["Return"],
     ["Uploading USB firmware…", "Finishing…", "USB firmware upload complete."], ["Done."]),
    ("back from the alert", ["Return"], ["Firmware File"]),
    ("the file dialog", ["Tab", "space"], ["Choose USB Firmware dialog", "File name"]),
    ("an image for the other chip", ["type:rp2350.uf2", "Return"], ["Choose…"], ["Firmware file selected."]),
    ("a USB update that fails at the copy", ["Return"],
     ["Uploading USB firmware…", "alert VELTA 2 Updater",
      "USB firmware update failed. The selected file is not a valid UF2 firmware image."], ["Failed."]),
    ("back from the alert", ["Return"], ["Firmware File"]),
]

# The application on the device the test VM plays, as its desktop user.
# Under emulation Orca is several times slower: the file dialog's closing
# leaves it so far behind that it drops the status that follows (the table
# above hears it).
DEVICE_STEPS = [
    ("the window comes up", [], ["USB Firmware (.uf2)", "radio button"]),
    ("the file dialog", ["Tab", "Tab", "space"], ["Choose USB Firmware dialog", "File name"]),
    ("a file chosen", ["type:FIRMWARE", "Return"], ["Choose…"]),
    ("Upload", ["Tab", "Tab", "Tab"], ["Upload USB Firmware"]),
    ("the update", ["Return"],
     ["Uploading USB firmware…", "Waiting for USB firmware drive…", "Finishing…", "USB firmware upload complete."],
     ["Done."]),
]

scratch, args = virtualsession.enter(timeout=600 if "--device" in sys.argv else 280, screen="1024x768x24")
device = args[0] == "--device"
program = args[-2] if device else args[0]
# Under the VM's emulated processor everything takes several times as long.
slow = 6 if device else 1
processes, window = [], None
# Orca's debug file is written line by line only to a terminal: a pseudo
# terminal's other end is read here, as it comes.
log_lines, reader_end, writer_end = [], *os.openpty()


def read_log():
    pending = b""
    while True:
        try:
            chunk = os.read(reader_end, 65536)
        except OSError:
            return
        if not chunk:
            return
        *whole, pending = (pending + chunk).split(b"\n")
        log_lines.extend(line.decode(errors="replace").rstrip("\r") for line in whole)


threading.Thread(target=read_log, daemon=True).start()


def start(command, **options):
    processes.append(subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **options))
    return processes[-1]


def spoken():
    """Every line Orca has said so far, in order. A line it says with line breaks
    in it goes on over the log's next lines; it is given here with blanks for them."""
    said, pending = [], None
    for line in list(log_lines):
        if pending is None and "SPEECH OUTPUT: '" in line:
            pending, line = [], line[line.index("SPEECH OUTPUT: '") + 16:]
        if pending is None:
            continue
        # Its end: the closing quote, at times after a blank ('return ' {'established...).
        end = line.rfind("{'established")
        pending.append((line if end < 0 else line[:end].rstrip().removesuffix("'")).strip())
        if end >= 0:
            said.append(" ".join(part for part in pending if part))
            pending = None
    return said


def hear(what, since, wanted, timeout=20.0 * slow):
    """Waits until the lines said since `since` hold each of `wanted` in order; the index after the last."""
    deadline = time.monotonic() + timeout
    while True:
        lines, found, at = spoken(), 0, since
        while found < len(wanted) and at < len(lines):
            if wanted[found] in lines[at]:
                found += 1
            at += 1
        if found == len(wanted):
            return at
        if time.monotonic() > deadline:
            raise AssertionError("%s: not heard %r within %g s; heard %r"
                                 % (what, wanted[found], timeout, lines[since:]))
        time.sleep(0.05)


def wait_until_orca_is_idle(quiet=3.0, limit=300.0):
    """Until Orca's log has been quiet for `quiet` seconds: under emulation it works
    through the file dialog's events for minutes, and keys pressed meanwhile make it
    drop what it has not reached yet."""
    deadline, logged, changed = time.monotonic() + limit, len(log_lines), time.monotonic()
    while time.monotonic() - changed < quiet and time.monotonic() < deadline:
        time.sleep(0.2)
        if len(log_lines) != logged:
            logged, changed = len(log_lines), time.monotonic()


def intel_hex(data):
    """`data` as Intel HEX records of 16 bytes, from address 0."""
    lines = []
    for at in range(0, len(data), 16):
        record = bytes([len(data[at:at + 16]), at >> 8, at & 0xFF, 0]) + data[at:at + 16]
        lines.append(":%s%02X" % (record.hex().upper(), -sum(record) & 0xFF))
    return "\n".join(lines + [":00000001FF"]) + "\n"


def uf2_image(family, blocks=4):
    """A whole UF2 image of `blocks` 256-byte blocks for the chip `family`."""
    return b"".join(struct.pack("<8I", 0x0A324655, 0x9E5D5157, 0x2000, 0x10000000 + n * 256, 256, n, blocks, family)
                    + bytes(476) + struct.pack("<I", 0x0AB16F30) for n in range(blocks))


def press(key):
    if key == "pause":
        # Orca counts presses of keys that type the same (Return, KP_Enter) within 0.5 s as one
        # double press.
        time.sleep(1)
    elif key == "unplug":
        simulator.terminate()
        simulator.wait(5)
    elif key.startswith("type:"):
        name = args[-1] if key == "type:FIRMWARE" else os.path.join(scratch, key[5:])
        subprocess.run(["xdotool", "type", "--delay", "30", name], timeout=30 * slow, check=True)
    else:
        # Keys in one go: two presses within Orca's double-press time.
        subprocess.run(["xdotool", "key"] + key.split(), timeout=10 * slow, check=True)


try:
    if not device:
        # For an RP2350: the drive the window's device shows is an RP2040's.
        with open(scratch + "/rp2350.uf2", "wb") as uf2_file:
            uf2_file.write(uf2_image(0xe48bff59))
        with open(scratch + "/core.hex", "w") as hex_file:
            hex_file.write(intel_hex(os.urandom(8192)))
        # The Core's boot loader, simulated on a pseudo terminal; unplugged, its port stays listed.
        port = scratch + "/ttySIM"
        simulator = start([os.path.join(os.path.dirname(program), "stk500sim"), "--link", port,
                           "--page-ms", "20"])
    start(["openbox", "--sm-disable"])
    # Now and then (about 1 start in 10 here, for good) Orca hangs before it starts: it
    # gets one more go, which is about Orca, not the window.
    for attempt in range(2):
        orca = start(["orca", "--disable", "speech", "--disable", "braille", "--disable", "main-window",
                      "--user-prefs", scratch + "/orca", "--debug-file", os.ttyname(writer_end)])
        deadline = time.monotonic() + 30 * slow
        while not any("ORCA: Starting ATSPI registry" in line for line in list(log_lines)):
            if time.monotonic() > deadline:
                break
            time.sleep(0.1)
        else:
            break
        orca.kill()
        orca.wait()
        processes.remove(orca)
        print("Orca did not start within %d s; its log ended:\n  %s" % (30 * slow, "\n  ".join(log_lines[-5:])))
    else:
        raise AssertionError("Orca did not start twice")
    window = start([program] if device else [program, "--application", scratch, port], stdin=subprocess.PIPE)
    since, failures = 0, []
    for what, keys, wanted, *anywhere in DEVICE_STEPS if device else STEPS:
        if device:
            wait_until_orca_is_idle()
        for key in keys:
            press(key)
            # The next key only once Orca has taken this one.
            time.sleep(0.3 * slow)
        began = time.monotonic()
        try:
            step_start, since = since, hear(what, since, wanted)
            for line in sum(anywhere, []):
                since = max(since, hear(what, step_start, [line]))
            print("%s: heard in %.1f s" % (what, time.monotonic() - began))
        except AssertionError as failure:
            # The steps after it may still tell something.
            failures.append(str(failure))
            since = len(spoken())
    if failures:
        # What Orca did with the window's notifications, and the floods it dropped events in.
        print("\n".join(line for line in log_lines if "pruned" in line or "window:activate for" in line
                        or ("Queueing" in line or "Dequeued" in line) and "[notification" in line))
        raise AssertionError("\n  ".join(failures))
    lines = spoken()
    repeated = [a for a, b in zip(lines, lines[1:]) if a == b and a.endswith(".")]
    if repeated:
        raise AssertionError("said twice in a row: %r" % repeated)
except AssertionError as failure:
    print("FAIL:", failure)
    sys.exit(1)
finally:
    print("Orca said:\n  " + "\n  ".join(spoken()))
    if window:
        window.stdin.close()
    for process in reversed(processes):
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
