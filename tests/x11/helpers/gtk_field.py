#!/usr/bin/python3
# A GTK window with one entry for the integration tests, with the same interface as
# textfield.cpp: writes the entry's text to the file named by --out whenever it changes (and
# once at start) and prints "WINDOW <id>" when the window is shown. With --entries N it shows N
# entries (the first focused) and writes their texts one a line. --caret N puts the caret of
# the focused field at N, --select A B selects from A to B (the field holds text and a caret
# before anything is pasted); --textview shows a multi-line Gtk.TextView instead of entries;
# --gtk 4 uses GTK 4 instead of GTK 3. A GTK 3 text view (a drop target) sits at the top left
# of the screen. --slow-focus MS: the GTK 3 window takes the keyboard focus MS ms after the
# window manager gives it, as a busy application does. --second-window: a second GTK 3 window of
# the same program with no field in it, its id printed as "SECOND <id>" after the first.
import os
import sys

import gi


def argument(name, fallback=""):
    if name in sys.argv[:-1]:
        return sys.argv[sys.argv.index(name) + 1]
    return fallback


def arguments(name, count):
    if name not in sys.argv:
        return None
    at = sys.argv.index(name)
    return [int(value) for value in sys.argv[at + 1 : at + 1 + count]]


GTK4 = argument("--gtk", "3") == "4"
gi.require_version("Gtk", "4.0" if GTK4 else "3.0")
gi.require_version("GdkX11", "4.0" if GTK4 else "3.0")
from gi.repository import GdkX11, GLib, Gtk  # noqa: E402,F401

out = argument("--out")
caret = arguments("--caret", 1)
selection = arguments("--select", 2)
window = Gtk.Window(title=argument("--title", "Harbelle GTK field"))
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)

if "--textview" in sys.argv:
    view = Gtk.TextView()
    buffer = view.get_buffer()
    buffer.set_text(argument("--text"))
    fields = [view]

    def texts():
        return [buffer.get_text(buffer.get_start_iter(), buffer.get_end_iter(), True)]

    def place():
        if selection:
            buffer.select_range(buffer.get_iter_at_offset(selection[0]), buffer.get_iter_at_offset(selection[1]))
        elif caret:
            buffer.place_cursor(buffer.get_iter_at_offset(caret[0]))

    changed = [(buffer, "changed")]
else:
    fields = [Gtk.Entry() for _ in range(max(1, int(argument("--entries", "1"))))]
    fields[0].set_text(argument("--text"))

    def texts():
        return [entry.get_text() for entry in fields]

    def place():
        # Giving an entry the focus selects its whole text: the caret is placed afterwards.
        if selection:
            fields[0].select_region(selection[0], selection[1])
        elif caret:
            fields[0].set_position(caret[0])

    changed = [(entry, "changed") for entry in fields]


def write(*_):
    if not out:
        return
    partial = out + ".part"
    with open(partial, "w", encoding="utf-8") as stream:
        stream.write("\n".join(texts()))
    os.replace(partial, out)


for source, signal in changed:
    source.connect(signal, write)
for field in fields:
    if GTK4:
        box.append(field)
    else:
        box.pack_start(field, True, True, 0)

if GTK4:
    loop = GLib.MainLoop()
    window.connect("close-request", lambda *_: loop.quit())
    window.set_child(box)
    window.set_default_size(400, 60)
    window.present()
    context = GLib.MainContext.default()
    while not window.get_mapped():
        context.iteration(True)
    fields[0].grab_focus()
    place()
    write()
    print("WINDOW", window.get_surface().get_xid(), flush=True)
    loop.run()
else:
    slow_focus = int(argument("--slow-focus", "0"))
    if slow_focus:

        pending = []

        def focus_later(widget, event):
            held = event.copy()

            def arrive():
                pending.clear()
                Gtk.Window.do_focus_in_event(widget, held.focus_change)
                return False

            pending.append(GLib.timeout_add(slow_focus, arrive))
            return True

        def focus_gone(*_):
            while pending:
                GLib.source_remove(pending.pop())
            return False

        window.connect("focus-in-event", focus_later)
        window.connect("focus-out-event", focus_gone)
    window.connect("destroy", Gtk.main_quit)
    window.add(box)
    if "--textview" in sys.argv:
        window.move(0, 0)
        window.resize(400, 240)
    else:
        window.resize(400, 60)
    window.show_all()
    fields[0].grab_focus()
    place()
    write()
    print("WINDOW", window.get_window().get_xid(), flush=True)
    if "--second-window" in sys.argv:
        second = Gtk.Window(title=argument("--title", "Harbelle GTK field") + " (no field)")
        second.add(Gtk.Label(label="Nothing to type in here"))
        second.move(450, 300)
        second.resize(300, 80)
        second.show_all()
        print("SECOND", second.get_window().get_xid(), flush=True)
    Gtk.main()
