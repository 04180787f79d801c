#!/usr/bin/python3
# One USB update and one refused request, by keys only, heard as a screen
# reader hears them: through the accessibility bus (AT-SPI), not through
# Qt's own object tree. The window (screenreaderwindow.cpp) runs on a virtual
# X display in a private D-Bus session; the keys go in through the bus's own
# key synthesis, the same path an assistive tool uses.
#
#   test_screenreader.py <velta-screenreader-window>
import os
import subprocess
import sys
import tempfile
import threading
import time

STATUS_NAME = "Status"
UPLOAD = "Upload USB Firmware"


def outside(window_program):
    """A virtual display and a D-Bus session of our own, then the test inside."""
    with tempfile.TemporaryDirectory() as scratch:
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten",
                                 "tcp"], pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        try:
            with os.fdopen(read_end) as display_out:
                display = display_out.readline().strip()
            if not display:
                print("Xvfb did not start")
                return 1
            env = dict(os.environ, DISPLAY=":" + display, QT_QPA_PLATFORM="xcb",
                       QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", XDG_RUNTIME_DIR=scratch, HOME=scratch,
                       LANG="C.UTF-8")
            env.pop("DBUS_SESSION_BUS_ADDRESS", None)
            env.pop("AT_SPI_BUS_ADDRESS", None)
            try:
                return subprocess.run(["dbus-run-session", "--", sys.executable, __file__, "--inside", window_program],
                                      env=env, timeout=50).returncode
            except subprocess.TimeoutExpired:
                print("FAIL: the test took longer than 50 s")
                return 1
        finally:
            xvfb.terminate()
            xvfb.wait(5)


class Listener:
    """Records, in order, what a screen reader would say."""

    def __init__(self):
        import gi
        gi.require_version("Atspi", "2.0")
        from gi.repository import Atspi, GLib
        self.Atspi, self.GLib = Atspi, GLib
        Atspi.init()
        self.heard = []
        self.listeners = []
        for kind, handler in (("object:state-changed:focused", self.on_focus),
                              ("object:text-changed:insert", self.on_text),
                              ("object:state-changed:sensitive", self.on_sensitive),
                              ("window:activate", self.on_window)):
            listener = Atspi.EventListener.new(handler)
            listener.register(kind)
            self.listeners.append(listener)

    def describe(self, node):
        """Role and name, and what a reader adds: the label, the text, the state."""
        try:
            said = "%s '%s'" % (node.get_role_name(), node.get_name())
            for relation in node.get_relation_set() or []:
                if relation.get_relation_type() == self.Atspi.RelationType.LABELLED_BY:
                    said += " labelled '%s'" % relation.get_target(0).get_name()
            if "Text" in node.get_interfaces():
                content = self.Atspi.Text.get_text(node, 0, self.Atspi.Text.get_character_count(node))
                if content != node.get_name():
                    said += " text '%s'" % content
            states = node.get_state_set()
            if states.contains(self.Atspi.StateType.CHECKED):
                said += " checked"
            if not states.contains(self.Atspi.StateType.SENSITIVE):
                said += " disabled"
            return said
        except Exception as error:  # the object went away meanwhile
            return "gone (%s)" % error

    def on_focus(self, event):
        if event.detail1:
            self.heard.append("focus: " + self.describe(event.source))

    def on_text(self, event):
        # The status line speaks by itself; other text is read when it has the focus.
        try:
            if event.source.get_role() == self.Atspi.Role.LABEL and event.source.get_name() == STATUS_NAME:
                self.heard.append("status: " + event.any_data)
        except Exception:  # a dialog's box that went away meanwhile
            pass

    def on_sensitive(self, event):
        if not event.detail1 and event.source.get_name() == UPLOAD:
            self.heard.append("disabled: " + self.describe(event.source))

    def on_window(self, event):
        window = event.source
        try:
            alert = window.get_role() == self.Atspi.Role.ALERT
        except Exception:
            alert = False
        if not alert:
            # The title comes with the event: the window may be gone when it is read.
            self.heard.append("window: '%s'" % event.any_data)
            return
        texts = []

        def collect(node):
            for i in range(node.get_child_count()):
                child = node.get_child_at_index(i)
                if child.get_role() == self.Atspi.Role.LABEL and child.get_name():
                    texts.append(child.get_name())
                collect(child)
        collect(window)
        self.heard.append("alert '%s': %s" % (window.get_name(), " / ".join(texts)))

    def pump(self, until, timeout):
        context = self.GLib.MainContext.default()
        deadline = time.monotonic() + timeout
        while not until():
            if time.monotonic() > deadline:
                return False
            if not context.iteration(False):
                time.sleep(0.005)
        return True


class Failed(Exception):
    pass


class User:
    """Keys in, as the bus synthesises them, and a wait for what comes back."""

    KEYS = {"Tab": 0xff09, "Return": 0xff0d, "space": 0x20}

    def __init__(self, listener):
        self.listener = listener
        self.heard = listener.heard

    def press(self, key):
        self.heard.append("key: " + key)
        self.listener.Atspi.generate_keyboard_event(self.KEYS[key], None, self.listener.Atspi.KeySynthType.SYM)

    def type(self, text):
        self.heard.append("typed: " + text)
        self.listener.Atspi.generate_keyboard_event(0, text, self.listener.Atspi.KeySynthType.STRING)

    def hear(self, what, prefix, timeout=5.0, matching=lambda entry: True, since=None):
        """Waits for the next entry starting with `prefix` that matches."""
        start = len(self.heard) if since is None else since
        found = []

        def arrived():
            found[:] = [e for e in self.heard[start:] if e.startswith(prefix) and matching(e)]
            return bool(found)
        if not self.listener.pump(arrived, timeout):
            raise Failed("%s: nothing heard within %g s" % (what, timeout))
        return found[0]

    def dismiss_alert(self, what, timeout=5.0):
        """Waits for the alert and its button's focus, then Return; back in the window."""
        self.hear(what, "alert ", timeout)
        self.hear(what + ", its button", "focus: push button 'OK'", since=len(self.heard) - 2)
        self.press("Return")
        self.back_in_window()

    def back_in_window(self):
        """The keys go on only once the window has the focus again."""
        self.hear("the window again", "window: 'VELTA 2 Updater'")
        self.hear("the focus in the window", "focus: ", since=len(self.heard) - 1)

    def tab_to(self, name):
        for _ in range(10):
            self.press("Tab")
            if ("'%s'" % name) in self.hear("Tab towards '%s'" % name, "focus: "):
                return
        raise Failed("Tab never reached '%s'" % name)


def statuses(entries, prefix="status: "):
    return [e[len(prefix):] for e in entries if e.startswith(prefix)]


def expect(what, got, wanted):
    if got != wanted:
        raise Failed("%s:\n  heard  %r\n  wanted %r" % (what, got, wanted))


def inside(window_program):
    listener = Listener()
    window = subprocess.Popen([window_program], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    said = []

    def read():
        for line in window.stdout:
            said.append(line.rstrip("\n"))
    threading.Thread(target=read, daemon=True).start()
    user = User(listener)
    heard = listener.heard
    refusal_end = 0
    try:
        if not listener.pump(lambda: "ready" in said, 15):
            raise Failed("the window did not come up: %r" % said)
        firmware = next(line[5:] for line in said if line.startswith("file:"))
        user.hear("the status line when the window came up", "status: ", since=0)
        user.hear("the window's first focus", "focus: ", since=0)

        # Refused: no file chosen yet. Every control on the way, in reading order.
        user.tab_to(UPLOAD)
        user.press("Return")
        user.dismiss_alert("the refusal's alert")
        refusal_end = len(heard)

        # The update: the file box, Choose…, the path typed into the dialog,
        # then Upload.
        user.tab_to("Firmware File")
        user.tab_to("Choose…")
        user.press("space")
        user.hear("the file dialog", "window: 'Choose USB Firmware'")
        user.hear("the file dialog's name box", "focus: text ", since=len(heard) - 2)
        user.type(firmware)
        user.press("Return")
        user.back_in_window()
        user.hear("the status line after the file was chosen", "status: ", since=refusal_end)
        user.tab_to(UPLOAD)
        user.press("Return")
        user.dismiss_alert("the update's alert", timeout=20)
        user.hear("the last status", "status: ", matching=lambda e: e == "status: Done.", since=refusal_end)

        refusal, update = heard[:refusal_end], heard[refusal_end:]
        first_pass = [e for e in refusal if e.startswith("focus: ")]
        expect("the focus on the way to Upload", first_pass, [
            "focus: check box 'USB Firmware (.uf2)' checked",
            "focus: label 'Firmware File' text 'No firmware file selected'",
            "focus: push button 'Choose…'",
            "focus: combo box 'VELTA 2 MIDI 1' labelled 'USB MIDI Device'",
            "focus: push button 'Refresh'",
            "focus: push button 'Upload USB Firmware'",
            "focus: push button 'OK'",
            "focus: push button 'Upload USB Firmware'"])
        expect("the refusal's alert", [e for e in refusal if e.startswith("alert ")],
               ["alert 'VELTA 2 Updater': VELTA 2 Updater / Please choose a firmware file first."])
        expect("the status line during the refusal", statuses(refusal), ["USB firmware update ready."])
        expect("the status line during the update", statuses(update), [
            "Firmware file selected.", "Uploading USB firmware…", "Waiting for USB firmware drive…", "Finishing…",
            "Done."])
        expect("the status line against the updater's own", statuses(heard), statuses(said, "status:"))
        expect("the update's alert", [e for e in update if e.startswith("alert ")],
               ["alert 'VELTA 2 Updater': VELTA 2 Updater / USB firmware upload complete."])
        expect("the alerts against the updater's own", [e.split(" / ", 1)[1] for e in heard if e.startswith("alert ")],
               [line[6:] for line in said if line.startswith("alert:")])
        expect("Upload while busy", [e for e in update if e.startswith("disabled: ")],
               ["disabled: push button 'Upload USB Firmware' disabled"])
        return 0
    except Failed as failure:
        print("FAIL:", failure)
        return 1
    finally:
        if refusal_end:
            print("Heard, refused request:\n  " + "\n  ".join(heard[:refusal_end]))
            print("Heard, USB update:\n  " + "\n  ".join(heard[refusal_end:]))
        else:
            print("Heard:\n  " + "\n  ".join(heard))
        window.stdin.close()
        try:
            window.wait(5)
        except subprocess.TimeoutExpired:
            window.kill()


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--inside":
        sys.exit(inside(sys.argv[2]))
    if len(sys.argv) != 2:
        print("usage: test_screenreader.py <velta-screenreader-window>")
        sys.exit(2)
    sys.exit(outside(sys.argv[1]))
