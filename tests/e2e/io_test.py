"""Data output and input through the form, with the virtual adapter, driven by pointer clicks and
typing on the X server, checked on the adapter (mulvo-sim status) and on the screen as assistive
technology reads it (AT-SPI).

The click points are computed from the form's template (dialog units to pixels) and the form's
top left corner on the screen, which is read from the form's accessible: the child of the main
window of exactly the form's size. That holds whatever the heights of the menu, tool and status
bars and wherever a window manager puts the window.

Run by e2e-io.sh inside a private D-Bus session, with the working folder, settings folder and
adapter instance already private to the test.
    io_test.py DOVRAX MULVO_SIM WORKDIR
"""

import os
import re
import subprocess
import sys
import time

import atspi

TITLE = "DOVRAX ( For Test)"
# The form's size in pixels, from its 293 x 228 dialog units.
FORM_SIZE = (293 * 6 // 4, 228 * 13 // 8)

# Controls of the form, in dialog units (x, y, width, height) from its template.
OUTPUT_BUTTON = (220, 138, 58, 19)
INPUT_BUTTON = (220, 77, 58, 19)
INPUT_DISPLAY = (221, 62, 56, 13)
OUTPUT_COMBO = (221, 121, 56, 66)  # the height includes the drop-down list
START_BUTTON = (215, 176, 58, 19)
INDICATORS = {
    7: (16, 19, 17, 17), 6: (38, 19, 17, 17), 5: (60, 19, 17, 17), 4: (82, 19, 17, 17),
    3: (114, 19, 17, 17), 2: (136, 19, 17, 17), 1: (158, 19, 17, 17), 0: (180, 19, 17, 17),
}


class Failure(Exception):
    pass


def log(message):
    print(f"[e2e_io] {message}", flush=True)


def to_pixels(units):
    x, y, w, h = units
    return (x * 6 // 4, y * 13 // 8, w * 6 // 4, h * 13 // 8)


def poll(what, check, timeout=10.0):
    """Calls check until it returns something true; fails with what after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        last = check()
        if last:
            return last
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(0.1)


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True, timeout=20).stdout


def xdotool(*args):
    return run("xdotool", *[str(a) for a in args])


class Bench:
    def __init__(self, dovrax, mulvo_sim, workdir):
        self.dovrax = dovrax
        self.mulvo_sim = mulvo_sim
        self.workdir = workdir
        self.process = None

    # ---- the adapter ---------------------------------------------------------------------

    def adapter_state(self):
        status = run(self.mulvo_sim, "status")
        return dict(line.split("=", 1) for line in status.splitlines() if "=" in line)

    def wait_adapter(self, key, value, after=None):
        try:
            poll(f"mulvo-sim status to show {key}={value}",
                 lambda: self.adapter_state().get(key) == value)
        except Failure:
            message = f"mulvo-sim status shows {key}={self.adapter_state().get(key)}"
            if after:
                message += f" after {after}"
            message += f", expected {value}"
            if after:
                message += f"; the message list reads {self.log_lines()}"
            raise Failure(message)

    # ---- the program ---------------------------------------------------------------------

    def start(self, *options):
        env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        self.log_file = open(os.path.join(self.workdir, "dovrax.log"), "ab")
        self.process = subprocess.Popen([self.dovrax, *options], cwd=self.workdir, env=env,
                                        stdout=self.log_file, stderr=subprocess.STDOUT)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process:
            self.log_file.close()

    def program_output(self):
        with open(os.path.join(self.workdir, "dovrax.log"), "rb") as f:
            return f.read().decode(errors="replace")

    def window_geometry(self, window):
        """The client area of a top-level window on the screen: (x, y, width, height)."""
        info = run("xwininfo", "-id", window)
        field = lambda name: int(re.search(rf"{name}:\s*(-?\d+)", info).group(1))
        return (field("Absolute upper-left X"), field("Absolute upper-left Y"),
                field("Width"), field("Height"))

    def find_window(self):
        def viewable():
            try:
                ids = xdotool("search", "--name", r"^DOVRAX \( For Test\)$").split()
            except subprocess.CalledProcessError:
                return None
            if len(ids) == 1 and "IsViewable" in run("xwininfo", "-id", ids[0]):
                return ids[0]
            return None
        return poll(f"a viewable window titled {TITLE!r}", viewable, timeout=30)

    def find_form(self, app):
        """The form's accessible: the frame's child of the form's exact size."""
        def form():
            for frame in app.children():
                if frame.role != "frame" or frame.name != TITLE:
                    continue
                for child in frame.children():
                    extents = child.extents()
                    if extents and extents[2:] == FORM_SIZE:
                        return child
            return None
        return poll(f"a {FORM_SIZE[0]}x{FORM_SIZE[1]} form in the accessible tree", form)

    def settled_origin(self, form):
        """The form's top left corner on the screen, once it has stayed in place for half a
        second (a window manager may place the window after it is mapped)."""
        readings = []

        def stable():
            readings.append(form.extents()[:2])
            recent = readings[-5:]
            return recent[0] if len(recent) == 5 and len(set(recent)) == 1 else None
        return poll("the form to stay in place", stable)

    # ---- the user ------------------------------------------------------------------------

    def point(self, units, dx=None, dy=None):
        """A screen point inside a control: its centre, or dx, dy pixels from its top left."""
        x, y, w, h = to_pixels(units)
        return (self.origin[0] + x + (w // 2 if dx is None else dx),
                self.origin[1] + y + (h // 2 if dy is None else dy))

    def click(self, units, dx=None, dy=None):
        x, y = self.point(units, dx, dy)
        xdotool("mousemove", "--sync", x, y)
        xdotool("click", "1")

    def control_at(self, units, role):
        """The accessible of the given role whose rectangle is the control's."""
        x, y, w, h = to_pixels(units)
        rect = (self.origin[0] + x, self.origin[1] + y, w, h)
        for node in self.form.children():
            if node.role == role and node.extents() == rect:
                return node
        raise Failure(f"no {role} at {rect} (the place of the control at {units} dialog units); "
                      "the form holds: " + "; ".join(n.describe() for n in self.form.children()))

    def log_lines(self):
        for node in self.form.children():
            if node.role == "list":
                return [item.name for item in node.children()]
        raise Failure("the message list is not in the accessible tree")

    # ---- the test ------------------------------------------------------------------------

    def open_program(self, *options):
        """Starts the program and finds its window, form and accessible application."""
        self.start(*options)
        window = self.find_window()
        self.app = self.desktop.application(self.process.pid)
        if self.app is None:
            raise Failure("the program did not register with the accessibility bus")
        self.form = self.find_form(self.app)
        self.origin = self.settled_origin(self.form)
        log(f"window {window}, form at {self.origin}")
        return window

    def run(self):
        try:
            self.desktop = atspi.Desktop()
        except atspi.Unavailable as error:
            log(f"SKIP: the accessibility bus cannot be reached: {error}")
            return 77

        self.adapter_state()  # the instance exists and answers
        window = self.open_program()

        # The form fills the window's width below the menu and tool bars, above the status bar.
        wx, wy, ww, wh = self.window_geometry(window)
        if self.origin[0] != wx or ww != FORM_SIZE[0]:
            raise Failure(f"form at x={self.origin[0]} in a window at x={wx} of width {ww}")
        if not wy < self.origin[1] < wy + wh - FORM_SIZE[1]:
            raise Failure(f"form at y={self.origin[1]} is not inside the window's "
                          f"client area {wy}..{wy + wh} between its bars")

        self.display = self.control_at(INPUT_DISPLAY, "label")
        if self.display.name != "":
            raise Failure(f"the input display shows {self.display.name!r} before any input")
        self.wait_adapter("output", "0x00")

        # Output and input are checked apart, so that a fault in one does not hide the other.
        failed = False
        for step in (self.adapter_pane_step, self.output_step, self.input_step,
                     self.message_list_step, self.monitoring_step, self.service_step):
            if failed and step == self.message_list_step:
                continue  # the list's contents would only repeat the fault
            try:
                step()
            except Failure as error:
                print(f"[e2e_io] FAIL: {error}", file=sys.stderr, flush=True)
                failed = True
        return 1 if failed else 0

    def status_panes(self):
        """The status bar's panes, left to right."""
        panes = [node for frame in self.app.children() if frame.name == TITLE
                 for bar in frame.children() if bar.role == "status bar"
                 for node in bar.children() if node.role == "label"]
        if not panes:
            raise Failure("the status bar and its panes are not in the accessible tree")
        return sorted(panes, key=lambda node: node.extents()[0])

    def status_message(self):
        """The text of the status bar's message pane, the leftmost."""
        return self.status_panes()[0].name

    def monitoring_step(self):
        start = self.control_at(START_BUTTON, "push button")
        if start.has_state(atspi.STATE_SENSITIVE):
            raise Failure("Start is enabled without --interrupts")
        why = "Start DOVRAX with --interrupts, or set Settings/Interrupt Monitoring"
        if start.description != why:
            raise Failure(f"disabled Start has the tooltip {start.description!r}, expected {why!r}")
        self.stop()
        self.open_program("--interrupts")
        start = self.control_at(START_BUTTON, "push button")
        poll("Start to be enabled with --interrupts",
             lambda: start.has_state(atspi.STATE_SENSITIVE))
        self.click(START_BUTTON)
        self.wait_adapter("armed", "1", after="clicking Start")
        poll("the status pane to show INT 0", lambda: self.status_message() == "INT 0, 0/s")
        run(self.mulvo_sim, "irq", "3")
        try:
            poll("a Trig INT line", lambda: "Trig INT" in self.log_lines())
            poll("the status pane to count 3 interrupts",
                 lambda: (self.status_message() or "").startswith("INT 3, "))
        except Failure as error:
            raise Failure(f"{error}; the pane reads {self.status_message()!r}, "
                          f"the log {self.log_lines()}")
        poll("Stop to be enabled", lambda: start.name == "Stop")
        self.click(START_BUTTON)
        self.wait_adapter("armed", "0", after="clicking Stop")
        poll("the final count in the status pane", lambda: self.status_message() == "INT 3")
        log("with --interrupts: Start armed, 3 interrupts logged and counted, Stop disarmed")

    def service_step(self):
        # The window and mulvo share the adapter through the service: what one wrote the other
        # reads back, and the window's Start and two watches count the same interrupts.
        here = os.path.dirname(os.path.realpath(self.dovrax))
        mulvo = os.path.join(here, "mulvo")
        socket = os.path.join(self.workdir, "mulvod.sock")
        os.environ["MULVO_SERVICE_SOCKET"] = socket
        service = subprocess.Popen([os.path.join(here, "mulvod"), "--adapter", "virtual"],
                                   stderr=open(os.path.join(self.workdir, "mulvod.log"), "ab"))
        watches = []
        try:
            poll("the service's socket", lambda: os.path.exists(socket))
            self.stop()
            self.open_program("--adapter", "service", "--interrupts")
            last = self.status_panes()[-1]
            # The pane may shorten its text on screen; its name and tooltip have it whole.
            instance = os.environ["MULVO_SIM_INSTANCE"]
            if last.name != f"Service: Virtual adapter: {instance}" or \
                    f"socket {socket}, library " not in (last.description or ""):
                raise Failure(f"the adapter pane reads {last.name!r}, {last.description!r}")
            run(mulvo, "--adapter", "service", "set", "0x5a")
            self.wait_adapter("output", "0x5a", after="mulvo set 0x5a")
            run(self.mulvo_sim, "loopback", "on")
            self.click(OUTPUT_BUTTON)
            poll("mulvo get to read the window's output back",
                 lambda: run(mulvo, "--adapter", "service", "get") == "0x55\n")
            run(self.mulvo_sim, "loopback", "off")
            for i in range(2):
                out = open(os.path.join(self.workdir, f"watch{i}"), "wb")
                watches.append(subprocess.Popen(
                    [mulvo, "--adapter", "service", "watch", "-n", "4"], stdout=out,
                    stderr=subprocess.DEVNULL))
            self.click(START_BUTTON)
            with open(os.path.join(self.workdir, "mulvod.log")) as log_file:
                poll("the window and two watches to be armed",
                     lambda: log_file.seek(0) == 0 and
                     log_file.read().count(" armed adapter 0") == 3)
            run(self.mulvo_sim, "irq", "4")
            poll("the status pane to count 4 interrupts",
                 lambda: (self.status_message() or "").startswith("INT 4, "))
            counted = []
            for i, watch in enumerate(watches):
                if watch.wait(timeout=10) != 0:
                    raise Failure(f"watch {i} ended with {watch.returncode}")
                with open(os.path.join(self.workdir, f"watch{i}")) as f:
                    counted.append([int(n) for n in re.findall(r" irq=(\d+) ", f.read())])
            # The adapter numbers on from the interrupts raised before.
            first = counted[0][0] if counted[0] else 0
            if counted != [list(range(first, first + 4))] * 2:
                raise Failure(f"the watches counted {counted}")
            self.click(START_BUTTON)
            self.wait_adapter("armed", "0", after="clicking Stop")
            log("through the service: mulvo's byte seen, the window's read back, one burst "
                "counted by the window and two watches")
        finally:
            for watch in watches:
                if watch.poll() is None:
                    watch.kill()
            self.stop()
            service.terminate()
            service.wait(timeout=10)
            del os.environ["MULVO_SERVICE_SOCKET"]

    def adapter_pane_step(self):
        # The status bar's last pane names the library in use; its tooltip gives the name
        # whole and the file.
        instance = os.environ["MULVO_SIM_INSTANCE"]
        library = os.path.join(os.path.dirname(os.path.dirname(os.path.realpath(self.dovrax))),
                               "lib", "dovrax", "libmulvo.so.1")
        last = self.status_panes()[-1]
        name = f"Virtual adapter: {instance}"
        if (last.name, last.description) != (name, f"{name}\n{library}"):
            raise Failure(f"the status bar's last pane reads {last.name!r} with the tooltip "
                          f"{last.description!r}; expected {name!r} and {name!r} above "
                          f"{library!r}")
        log(f"the status bar names the adapter: {last.name!r}, {last.description!r}")

    def output_step(self):
        # The preset value, as the form shows it at start.
        combo = self.combo_box()
        if combo.name != "0x55":
            raise Failure(f"the output box shows {combo.name!r} at start, expected '0x55'")
        self.click(OUTPUT_BUTTON)
        self.wait_adapter("output", "0x55", after="clicking Output")
        self.check_indicators(0x55, "Output of 0x55")
        log("Output with the preset: output=0x55, the indicators read it")

        # A value typed into the output box's edit field.
        self.click(OUTPUT_COMBO, dx=12, dy=9)
        xdotool("key", "--clearmodifiers", "ctrl+a")
        xdotool("type", "--delay", "30", "FF")
        try:
            poll("the output box to show 'FF'", lambda: combo.name == "FF")
        except Failure:
            raise Failure(f"the output box shows {combo.name!r} after typing 'FF' in it")
        self.click(OUTPUT_BUTTON)
        self.wait_adapter("output", "0xff", after="typing 'FF' and clicking Output")
        log("Output with 'FF' typed: output=0xff")

    def input_step(self):
        run(self.mulvo_sim, "input", "0x3c")
        self.wait_adapter("input", "0x3c")
        self.click(INPUT_BUTTON)
        try:
            poll("the input display to show 0x3c", lambda: self.display.name == "0x3c")
        except Failure:
            raise Failure(f"the input display shows {self.display.name!r} after clicking Input "
                          f"with the lines at 0x3c; the message list reads {self.log_lines()}")
        log("Input with the lines at 0x3c: the display shows 0x3c")

        self.check_indicators(0x3C, "Input of 0x3c")

    def check_indicators(self, byte, after):
        """The indicators show the bits last transferred; a screen reader reads each one's bit
        as a checked (lit) or unchecked check box with the value 1 or 0, never as unavailable."""
        def wrong():
            faults = []
            for bit, units in INDICATORS.items():
                indicator = self.control_at(units, "check box")
                on = bool((byte >> bit) & 1)
                seen = (indicator.name, indicator.has_state(atspi.STATE_CHECKED),
                        indicator.value, indicator.has_state(atspi.STATE_SENSITIVE))
                if seen != (f"Bit {bit}", on, 1.0 if on else 0.0, True):
                    faults.append(f"bit {bit} reads (name, checked, value, sensitive) {seen}")
            return faults
        try:
            poll(f"the indicators to read the bits after {after}", lambda: not wrong())
        except Failure:
            raise Failure(f"after {after}: " + "; ".join(wrong()))

    def message_list_step(self):
        # The transfers are logged in order, each followed by a separator line, for a screen
        # reader to read.
        lines = self.log_lines()
        separator = "-" * 70
        expected = ["Output Data : [ 0x55 ]", separator, "Output Data : [ 0xff ]", separator,
                    "Input Data : [ 0x3c ]", separator]
        if lines[-len(expected):] != expected:
            raise Failure(f"the message list reads {lines}; expected it to end with {expected}")
        log("the message list reads: " + " | ".join(lines))

    def combo_box(self):
        x, y, w, _ = to_pixels(OUTPUT_COMBO)
        for node in self.form.children():
            extents = node.extents()
            if node.role == "combo box" and extents and extents[:3] == (
                    self.origin[0] + x, self.origin[1] + y, w):
                return node
        raise Failure("the output box is not in the accessible tree")


def main():
    dovrax, mulvo_sim, workdir = sys.argv[1:4]
    bench = Bench(dovrax, mulvo_sim, workdir)
    try:
        status = bench.run()
    except (Failure, subprocess.CalledProcessError, subprocess.TimeoutExpired,
            atspi.dbus.DBusException) as error:
        print(f"[e2e_io] FAIL: {error}", file=sys.stderr)
        status = 1
    finally:
        bench.stop()
    if status == 1 and bench.process:
        print("program output:\n" + bench.program_output(), file=sys.stderr)
    elif status == 0:
        log("PASS")
    return status


if __name__ == "__main__":
    sys.exit(main())
