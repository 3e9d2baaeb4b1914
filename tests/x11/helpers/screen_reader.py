#!/usr/bin/python3
# Reads one program's accessibility tree as a screen reader in that program's desktop does
# (the bus is found through the display): prints every shown element as
#   ROLE<TAB>NAME<TAB>X<TAB>Y<TAB>WIDTH<TAB>HEIGHT
# with screen coordinates. Usage: screen_reader.py PID
import sys
import warnings

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def walk(node, depth):
    if node is None or depth > 40:
        return
    states = node.get_state_set()
    if not states.contains(Atspi.StateType.SHOWING):
        return
    x = y = width = height = 0
    component = node.get_component_iface()
    if component:
        extents = component.get_extents(Atspi.CoordType.SCREEN)
        x, y, width, height = extents.x, extents.y, extents.width, extents.height
    name = (node.get_name() or "").replace("\t", " ").replace("\n", " ")
    print(f"{node.get_role_name()}\t{name}\t{x}\t{y}\t{width}\t{height}")
    for index in range(node.get_child_count()):
        walk(node.get_child_at_index(index), depth + 1)


warnings.simplefilter("ignore")
pid = int(sys.argv[1])
desktop = Atspi.get_desktop(0)
for index in range(desktop.get_child_count()):
    application = desktop.get_child_at_index(index)
    if application is not None and application.get_process_id() == pid:
        walk(application, 0)
