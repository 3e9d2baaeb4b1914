#!/usr/bin/python3
# A Tk window with one entry for the integration tests, with the interface of gtk_field.py
# (--out, --text, --caret N; prints "WINDOW <id>"). Tk is not on the accessibility bus at all.
import os
import re
import subprocess
import sys
import tkinter


def argument(name, fallback=""):
    if name in sys.argv[:-1]:
        return sys.argv[sys.argv.index(name) + 1]
    return fallback


out = argument("--out")
root = tkinter.Tk(className="HarbelleTkField")
root.title(argument("--title", "Harbelle Tk field"))
value = tkinter.StringVar(value=argument("--text"))
entry = tkinter.Entry(root, textvariable=value, width=40)
entry.pack()


def write(*_):
    if not out:
        return
    with open(out + ".part", "w", encoding="utf-8") as stream:
        stream.write(value.get())
    os.replace(out + ".part", out)


value.trace_add("write", write)
entry.focus_set()
entry.icursor(int(argument("--caret", str(len(value.get())))))
write()
root.update()
# The client window the window manager manages is Tk's wrapper, the parent of the root widget.
tree = subprocess.run(["xwininfo", "-tree", "-id", str(root.winfo_id())], capture_output=True, text=True).stdout
print("WINDOW", int(re.search(r"Parent window id: (0x[0-9a-f]+)", tree).group(1), 16), flush=True)
root.mainloop()
