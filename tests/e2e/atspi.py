"""A small AT-SPI client over D-Bus: finds a program's accessible tree and reads names, roles,
states and screen extents, as a screen reader would.

Qt publishes its widgets on the accessibility bus when QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 is set
(or the desktop turns accessibility on); the bus is started on demand by the session bus.
"""

import time

import dbus

ACCESSIBLE = "org.a11y.atspi.Accessible"
COMPONENT = "org.a11y.atspi.Component"
VALUE = "org.a11y.atspi.Value"
PROPERTIES = "org.freedesktop.DBus.Properties"
REGISTRY_ROOT = ("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root")

# AtspiStateType values used by the tests.
STATE_CHECKED = 4
STATE_SENSITIVE = 24

COORDS_SCREEN = dbus.UInt32(0)


class Unavailable(Exception):
    """The accessibility bus cannot be reached."""


class Node:
    """One accessible object: a (bus name, object path) pair on the accessibility bus."""

    def __init__(self, bus, ref):
        self._bus = bus
        self.ref = (str(ref[0]), str(ref[1]))
        self._proxy = bus.get_object(self.ref[0], self.ref[1], introspect=False)

    def _call(self, method, *args, interface=ACCESSIBLE):
        return getattr(self._proxy, method)(*args, dbus_interface=interface)

    @property
    def name(self):
        return str(self._proxy.Get(ACCESSIBLE, "Name", dbus_interface=PROPERTIES))

    @property
    def description(self):
        """For a Qt widget, its tooltip."""
        return str(self._proxy.Get(ACCESSIBLE, "Description", dbus_interface=PROPERTIES))

    @property
    def role(self):
        return str(self._call("GetRoleName"))

    @property
    def value(self):
        """The current value of an object with a value, such as a bit indicator."""
        return float(self._proxy.Get(VALUE, "CurrentValue", dbus_interface=PROPERTIES))

    def children(self):
        return [Node(self._bus, ref) for ref in self._call("GetChildren")]

    def states(self):
        words = [int(w) for w in self._call("GetState")]
        return {bit + 32 * i for i, word in enumerate(words) for bit in range(32)
                if word & (1 << bit)}

    def has_state(self, state):
        return state in self.states()

    def extents(self):
        """Screen rectangle (x, y, width, height), or None for objects without a place."""
        if COMPONENT not in [str(i) for i in self._call("GetInterfaces")]:
            return None
        x, y, w, h = self._call("GetExtents", COORDS_SCREEN, interface=COMPONENT)
        return (int(x), int(y), int(w), int(h))

    def walk(self):
        """This node and all below it, depth first."""
        yield self
        for child in self.children():
            yield from child.walk()

    def describe(self):
        return f"{self.role} {self.name!r} at {self.extents()}"


class Desktop:
    """The accessibility bus of the current session."""

    def __init__(self):
        try:
            session = dbus.SessionBus()
            address = session.get_object("org.a11y.Bus", "/org/a11y/bus").GetAddress(
                dbus_interface="org.a11y.Bus")
            self._bus = dbus.bus.BusConnection(str(address))
        except dbus.DBusException as error:
            raise Unavailable(str(error)) from error
        self._daemon = self._bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")

    def application(self, pid, timeout=20.0):
        """The accessible application root of process pid, once it has registered."""
        deadline = time.monotonic() + timeout
        while True:
            for app in Node(self._bus, REGISTRY_ROOT).children():
                try:
                    owner = int(self._daemon.GetConnectionUnixProcessID(
                        app.ref[0], dbus_interface="org.freedesktop.DBus"))
                except dbus.DBusException:
                    continue
                if owner == pid:
                    return app
            if time.monotonic() > deadline:
                return None
            time.sleep(0.1)
