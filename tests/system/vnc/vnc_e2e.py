"""End to end on Qt's vnc platform, the frame-buffer window system of a device
without X: the real updater on a simulated device, driven over RFB.

    vnc_e2e.py --installer ZENTAVO_INSTALLER --passwd ZENTAVO_PASSWD

The password "Zé9x" is typed with pointer events on the on-screen keyboard:
Z on the upper-case panel, Shift, a held e whose accent bar gives é, the
digit panel for 9, back for x, then Ok. Every step is checked on the
framebuffer; the success screen is read back from it; pulling the stick must
end the updater with 0 and start the terminal.
"""

import os
import socket
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "faults"))

import devicesim  # noqa: E402
from devicesim import check, Device, Updater, TestFailure, write_file, write_terminal  # noqa: E402
from rfb import RfbClient, RfbError  # noqa: E402

PASSWORD = "Zé9x"
WIDTH, HEIGHT = 800, 480
# Emulated builds are several times slower; every wait below polls, so only
# these limits grow.
SLOW = float(os.environ.get("ZENTAVO_TEST_SLOWDOWN", "1"))

# The prompt's field is at 60,60 and 40 high: the key panels open below it.
PANEL_X, PANEL_Y = 60, 101
BAR_X, BAR_Y = PANEL_X - 10, PANEL_Y + 288
FIELD = (70, 65, 570, 30)          # the field's inside, where the masked characters show
PANEL = (PANEL_X, PANEL_Y, 680, 340)
BAR = (BAR_X, BAR_Y, 320, 70)


def key(column, row_y, row_x=0):
    """Centre of a 50 x 50 key of a panel row (keys every 60 px)."""
    return PANEL_X + row_x + column * 60 + 25, PANEL_Y + row_y + 25


KEYS = {
    "Z": key(5, 20), "E": key(2, 20), "9": key(8, 20), "X": key(1, 140, 60),
    "Shift": (PANEL_X + 25, PANEL_Y + 165), "123": (PANEL_X + 40, PANEL_Y + 225),
    "ABC": (PANEL_X + 40, PANEL_Y + 225), "Ok": (PANEL_X + 535, PANEL_Y + 318),
    "acute": (BAR_X + 10 + 2 * 60 + 25, BAR_Y + 10 + 25),
}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Screen:
    """The updater's framebuffer, read over RFB."""

    def __init__(self, updater, port):
        deadline = time.monotonic() + 30 * SLOW
        while True:
            try:
                self.rfb = RfbClient("127.0.0.1", port)
                break
            except (OSError, RfbError) as error:
                if not updater.running() or time.monotonic() > deadline:
                    raise TestFailure("no VNC server on port %d: %s\n%s"
                                      % (port, error, updater.stderr_tail()))
                time.sleep(0.1)
        check((self.rfb.width, self.rfb.height) == (WIDTH, HEIGHT),
              "framebuffer is %dx%d, not %dx%d" % (self.rfb.width, self.rfb.height, WIDTH, HEIGHT))

    def region(self, rect):
        self.rfb.refresh()
        return self.rfb.region(*rect)

    def wait(self, description, condition, timeout=15.0):
        """Reads the framebuffer until condition(self) holds."""
        deadline = time.monotonic() + timeout * SLOW
        while True:
            self.rfb.refresh()
            if condition(self):
                return
            if time.monotonic() > deadline:
                self.keep("not-shown")
                raise TestFailure("the screen did not show %s within %.0f s"
                                  % (description, timeout * SLOW))
            time.sleep(0.05)

    def keep(self, name):
        """With ZENTAVO_VNC_SHOTS set to a folder, keeps the framebuffer there."""
        folder = os.environ.get("ZENTAVO_VNC_SHOTS")
        if folder:
            os.makedirs(folder, exist_ok=True)
            path = os.path.join(folder, name + ".ppm")
            self.rfb.save_ppm(path)
            print("framebuffer kept in %s" % path)

    def wait_change(self, description, rect, before, timeout=15.0):
        self.wait(description, lambda s: s.rfb.region(*rect) != before, timeout)
        return self.rfb.region(*rect)

    def stable(self, rect):
        """Waits until two reads 0.3 s apart agree, and returns that region."""
        previous = self.region(rect)
        deadline = time.monotonic() + 15 * SLOW
        while True:
            time.sleep(0.3)
            current = self.region(rect)
            if current == previous:
                return current
            if time.monotonic() > deadline:
                raise TestFailure("the screen does not settle")
            previous = current

    def tap(self, name):
        self.rfb.tap(*KEYS[name])

    def ink_bands(self, x0, x1, background):
        """Runs of rows between x0 and x1 that hold a pixel other than background,
        each as (first row, last row, leftmost ink, rightmost ink)."""
        bands, current = [], None
        for y in range(HEIGHT):
            xs = [x for x in range(x0, x1) if self.rfb.pixel(x, y) != background]
            if xs:
                if current is None:
                    current = [y, y, xs[0], xs[-1]]
                else:
                    current[1] = y
                    current[2] = min(current[2], xs[0])
                    current[3] = max(current[3], xs[-1])
            elif current is not None:
                bands.append(tuple(current))
                current = None
        if current is not None:
            bands.append(tuple(current))
        return bands


def uniform(pixels):
    return pixels == pixels[:4] * (len(pixels) // 4)


def make_device(root, passwd):
    device = Device(root)
    write_terminal(os.path.join(device.app, "Zentavo.exe"), "terminal 1.0")
    write_file(os.path.join(device.app, "Zentavo.ini"), b"version=1.0\n")
    write_file(os.path.join(device.system, "startup.cfg"), b"old\n")
    write_terminal(os.path.join(device.payload_app, "Zentavo.exe"), "terminal 2.0")
    write_file(os.path.join(device.payload_app, "Zentavo.ini"), b"version=2.0\n")
    write_file(os.path.join(device.payload_system, "startup.cfg"), b"new\n")
    device.insert_stick()
    os.makedirs(os.path.dirname(device.database), exist_ok=True)
    if os.spawnv(os.P_WAIT, passwd, [passwd, device.database, PASSWORD]) != 0:
        raise TestFailure("zentavo-passwd could not store the password")
    return device


def run(installer, passwd, work):
    device = make_device(os.path.join(work, "device"), passwd)
    port = free_port()
    os.environ["QT_QPA_PLATFORM"] = "vnc:size=%dx%d:port=%d" % (WIDTH, HEIGHT, port)
    started = time.monotonic()
    updater = Updater(installer, device, work, "vnc")
    updater.wait_log("Enter Password...", timeout=30 * SLOW)
    screen = Screen(updater, port)

    screen.wait("the key panel under the password field",
                lambda s: not uniform(s.rfb.region(*PANEL)), timeout=30)
    upper = screen.stable(PANEL)
    screen.keep("prompt")
    field = screen.region(FIELD)
    check(uniform(field), "the empty password field shows something")

    screen.tap("Z")
    field = screen.wait_change("Z in the field", FIELD, field)
    screen.tap("Shift")
    lower = screen.wait_change("the lower-case panel after Shift", PANEL, upper)

    # A held vowel opens its accent bar after 0.8 s, while the key is down.
    bar = screen.region(BAR)
    screen.rfb.press(*KEYS["E"])
    screen.wait_change("e's accent bar while e is held", BAR, bar)
    screen.rfb.release(*KEYS["E"])
    time.sleep(0.3)
    screen.stable(BAR)
    screen.keep("accent-bar")
    screen.tap("acute")
    field = screen.wait_change("é in the field", FIELD, field)
    screen.wait("the accent bar closed", lambda s: s.rfb.region(*BAR) == bar)

    screen.tap("123")
    digits = screen.wait_change("the digit panel", PANEL, lower)
    screen.stable(PANEL)
    screen.tap("9")
    field = screen.wait_change("9 in the field", FIELD, field)
    screen.tap("ABC")
    screen.wait_change("the letters back", PANEL, digits)
    screen.stable(PANEL)
    screen.tap("X")
    field = screen.wait_change("x in the field", FIELD, field)
    check(not uniform(field), "the masked password is not shown")

    screen.tap("Ok")
    updater.wait_log("HandleEvents: InitialState: Successful.", timeout=30 * SLOW)

    # The success screen: the full-screen main window, white, no keyboard;
    # its title, its message and the output box are the only ink on it.
    white = (255, 255, 255)
    screen.wait("the success screen without the keyboard",
                lambda s: s.rfb.pixel(PANEL_X + 5, PANEL_Y + 5) == white
                and s.rfb.pixel(790, 470) != (0, 0, 0) and len(s.ink_bands(20, 780, white)) >= 3)
    screen.stable((0, 0, WIDTH, HEIGHT))
    screen.keep("success")
    bands = screen.ink_bands(2, WIDTH - 2, white)
    check(len(bands) >= 3, "expected title, message and output box, found %r" % (bands,))
    title, message = bands[0], bands[1]
    title_width = title[3] - title[2] + 1
    message_width = message[3] - message[2] + 1
    check(20 <= title[0] < message[0] < 150, "title and message not at the top: %r" % (bands,))
    check(title[2] >= 20 and message[2] >= 20, "text starts left of the window's margin: %r" % (bands,))
    # "Zentavo Installer" in bold and "Update was successful. Remove stick to
    # start Zentavo." in regular, both 20 points of the device's face: the
    # message is 3.05 times as wide as the title. The failure message ("was not
    # successful") is 3.26 times, the nothing-done message 2.51 times.
    ratio = message_width / title_width
    check(2.9 <= ratio <= 3.15, "message %d px for a title of %d px (ratio %.2f): not the success text"
          % (message_width, title_width, ratio))
    check(message[3] < WIDTH - 20, "the message runs into the right margin: %r" % (message,))

    with open(os.path.join(device.app, "Zentavo.ini")) as f:
        check(f.read() == "version=2.0\n", "application files not installed")
    screen.rfb.close()
    updater.finish_after_stick(timeout=15 * SLOW)
    check("terminal 2.0" in device.terminal_started(), "the new terminal was not started")
    print("vnc run took %.1f s" % (time.monotonic() - started))


def main():
    args = devicesim.parse_args(sys.argv[1:], {"installer", "passwd"})
    with tempfile.TemporaryDirectory(prefix="zentavo-vnc-") as work:
        devicesim.main(lambda: run(args["installer"], args["passwd"], work))


if __name__ == "__main__":
    main()
