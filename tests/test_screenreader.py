#!/usr/bin/python3
# One USB update by keys only, heard as a screen reader hears it: through the
# accessibility bus (AT-SPI), not through Qt's own object tree. The window
# (test_contentview --application) runs on a virtual X display in a private
# D-Bus session; the keys go in through the bus's own key synthesis, the same
# path an assistive tool uses.
#
#   test_screenreader.py <test_contentview>
import os, subprocess, sys, time
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
import virtualsession
import gi
gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib

scratch, (program,) = virtualsession.enter(timeout=50)
firmware = scratch + "/velta-usb.uf2"
heard = []


def describe(node):
    """Role and name, and what a reader adds: the label, the text, the state."""
    said = "%s '%s'" % (node.get_role_name(), node.get_name())
    for relation in node.get_relation_set() or []:
        if relation.get_relation_type() == Atspi.RelationType.LABELLED_BY:
            said += " labelled '%s'" % relation.get_target(0).get_name()
    if "Text" in node.get_interfaces():
        content = Atspi.Text.get_text(node, 0, Atspi.Text.get_character_count(node))
        if content != node.get_name():
            said += " text '%s'" % content
    return said + (" checked" if node.get_state_set().contains(Atspi.StateType.CHECKED) else "")


def labels(node):
    children = [node.get_child_at_index(i) for i in range(node.get_child_count())]
    named = [c.get_name() for c in children if c.get_role() == Atspi.Role.LABEL and c.get_name()]
    return named + sum(map(labels, children), [])


def on_event(event):
    try:
        source, kind = event.source, event.type
        if kind.endswith(":focused") and event.detail1:
            heard.append("focus: " + describe(source))
        elif kind.startswith("object:text-changed") and source.get_role() == Atspi.Role.STATUS_BAR:
            heard.append("status: " + event.any_data)
        elif kind.endswith(":sensitive") and not event.detail1 and source.get_name() == "Upload USB Firmware":
            heard.append("disabled: " + describe(source))
        elif kind == "window:activate" and source.get_role() == Atspi.Role.ALERT:
            heard.append("alert: " + " / ".join(labels(source)))
    except Exception:  # an object that went away meanwhile, as a dialog's parts do
        pass


def hear(what, prefix, since=None, timeout=5.0):
    """Waits for an entry starting with `prefix`, heard since `since` (by default: since the last key, as a
    key's answer may come in while the key is still being sent); its index."""
    keys = [i for i, e in enumerate(heard) if e.startswith("key: ")]
    start, deadline = (keys[-1] if keys else len(heard)) if since is None else since, time.monotonic() + timeout
    while not any(e.startswith(prefix) for e in heard[start:]):
        if time.monotonic() > deadline:
            raise AssertionError("%s: nothing heard within %g s" % (what, timeout))
        if not GLib.MainContext.default().iteration(False):
            time.sleep(0.005)
    return next(i for i in range(start, len(heard)) if heard[i].startswith(prefix))


def press(key):
    heard.append("key: " + key)
    Atspi.generate_keyboard_event({"Tab": 0xff09, "Return": 0xff0d, "space": 0x20}[key], None, Atspi.KeySynthType.SYM)


def tab_to(name):
    for _ in range(10):
        press("Tab")
        if ("'%s'" % name) in heard[hear("Tab towards '%s'" % name, "focus: ")]:
            return
    raise AssertionError("Tab never reached '%s'" % name)


Atspi.init()
listener = Atspi.EventListener.new(on_event)
for kind in ("object:state-changed:focused", "object:text-changed:insert", "object:state-changed:sensitive",
             "window:activate"):
    listener.register(kind)
window = subprocess.Popen([program, "--application", scratch], stdin=subprocess.PIPE)
try:
    # The file box, Choose…, the path typed into the dialog, then Upload;
    # each key once the focus is where it is meant for.
    hear("the window's first focus", "focus: ", 0, timeout=15)
    tab_to("Choose…")
    dialog = len(heard)
    press("space")
    hear("the file dialog's name box", "focus: text ")
    Atspi.generate_keyboard_event(0, firmware, Atspi.KeySynthType.STRING)
    press("Return")
    dialog = range(dialog, hear("the window again", "focus: push button 'Choose…'"))
    tab_to("Upload USB Firmware")
    press("Return")
    hear("the update's alert", "focus: push button 'OK'", timeout=20)
    press("Return")
    hear("the window again", "focus: text 'Firmware File'")
    hear("the last status", "status: Done.", 0)

    for prefix, entries, wanted in (
            ("focus: ", [e for i, e in enumerate(heard) if i not in dialog], [
                "radio button 'USB Firmware (.uf2)' checked", "text 'Firmware File' text 'No firmware file selected'",
                # Before the dialog, then back from it, then said again once the window is active.
                "push button 'Choose…'", "push button 'Choose…'", "push button 'Choose…'",
                "combo box 'VELTA 2 MIDI 1' labelled 'USB MIDI Device'", "push button 'Refresh'",
                "push button 'Upload USB Firmware'", "text 'Firmware File' text '%s'" % firmware,
                "push button 'OK'", "text 'Firmware File' text '%s'" % firmware]),
            ("status: ", heard, ["USB firmware update ready.", "Firmware file selected.", "Uploading USB firmware…",
                                 "Waiting for USB firmware drive…", "Finishing…", "Done."]),
            ("alert: ", heard, ["VELTA 2 Updater / USB firmware upload complete."]),
            ("disabled: ", heard, ["push button 'Upload USB Firmware'"])):  # Upload, while busy
        got = [e[len(prefix):] for e in entries if e.startswith(prefix)]
        if got != wanted:
            raise AssertionError("%s\n  heard  %r\n  wanted %r" % (prefix, got, wanted))
except AssertionError as failure:
    print("FAIL:", failure)
    sys.exit(1)
finally:
    print("Heard:\n  " + "\n  ".join(heard))
    window.stdin.close()
    window.wait(5)
