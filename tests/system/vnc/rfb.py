"""A small RFB (VNC) client: protocol 3.3, no authentication, raw encoding.

Enough to drive Qt's vnc platform plugin from a test: read the framebuffer
and send pointer events, as a touch screen would. Python standard library
only. Pixels are kept as 32-bit little-endian true colour (B, G, R, 0).
"""

import socket
import struct
import time


class RfbError(Exception):
    pass


def _recv_exact(sock, n):
    data = bytearray()
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise RfbError("server closed the connection")
        data += chunk
    return bytes(data)


class RfbClient:
    BUTTON_LEFT = 1

    def __init__(self, host, port, timeout=30.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._handshake()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def _recv(self, n):
        return _recv_exact(self.sock, n)

    def _handshake(self):
        version = self._recv(12)
        if not version.startswith(b"RFB 003."):
            raise RfbError("not an RFB server: %r" % version)
        # 3.3 is the oldest version and every server speaks it.
        self.sock.sendall(b"RFB 003.003\n")
        (security,) = struct.unpack(">I", self._recv(4))
        if security == 0:
            (length,) = struct.unpack(">I", self._recv(4))
            raise RfbError("connection refused: %s" % self._recv(length).decode(errors="replace"))
        if security != 1:
            raise RfbError("server asks for security type %d; only 'none' is supported" % security)
        self.sock.sendall(b"\x01")  # shared: other clients may stay
        header = self._recv(24)
        self.width, self.height = struct.unpack(">HH", header[:4])
        (name_length,) = struct.unpack(">I", header[20:24])
        self.name = self._recv(name_length).decode(errors="replace")
        if not (0 < self.width <= 8192 and 0 < self.height <= 8192):
            raise RfbError("implausible framebuffer size %dx%d" % (self.width, self.height))
        # 32 bits per pixel, depth 24, little endian, true colour, 8 bits each
        # for red (shift 16), green (8) and blue (0).
        pixel_format = struct.pack(">BBBBHHHBBB3x", 32, 24, 0, 1, 255, 255, 255, 16, 8, 0)
        self.sock.sendall(struct.pack(">B3x", 0) + pixel_format)
        self.sock.sendall(struct.pack(">BxHi", 2, 1, 0))  # encodings: raw only
        self.framebuffer = bytearray(self.width * self.height * 4)

    def _read_message(self):
        """Reads one server message; returns True for a framebuffer update."""
        (kind,) = struct.unpack(">B", self._recv(1))
        if kind == 0:
            (rectangles,) = struct.unpack(">xH", self._recv(3))
            for _ in range(rectangles):
                x, y, w, h, encoding = struct.unpack(">HHHHi", self._recv(12))
                if encoding != 0:
                    raise RfbError("unexpected encoding %d" % encoding)
                if x + w > self.width or y + h > self.height:
                    raise RfbError("rectangle %d,%d %dx%d outside the framebuffer" % (x, y, w, h))
                data = self._recv(w * h * 4)
                row = w * 4
                for line in range(h):
                    start = ((y + line) * self.width + x) * 4
                    self.framebuffer[start:start + row] = data[line * row:(line + 1) * row]
            return True
        if kind == 1:  # colour map entries: not used with true colour
            _, count = struct.unpack(">xHH", self._recv(5))
            self._recv(count * 6)
        elif kind == 2:  # bell
            pass
        elif kind == 3:  # cut text
            (length,) = struct.unpack(">3xI", self._recv(7))
            self._recv(length)
        else:
            raise RfbError("unknown server message %d" % kind)
        return False

    def refresh(self, incremental=False):
        """Asks for the framebuffer and waits for one update of it."""
        self.sock.sendall(struct.pack(">BBHHHH", 3, 1 if incremental else 0, 0, 0,
                                      self.width, self.height))
        while not self._read_message():
            pass

    def pixel(self, x, y):
        """(r, g, b) of the last framebuffer read."""
        offset = (y * self.width + x) * 4
        b, g, r = self.framebuffer[offset:offset + 3]
        return r, g, b

    def region(self, x, y, w, h):
        """The pixels of a rectangle of the last framebuffer read, as bytes."""
        rows = []
        for line in range(y, y + h):
            start = (line * self.width + x) * 4
            rows.append(bytes(self.framebuffer[start:start + w * 4]))
        return b"".join(rows)

    def save_ppm(self, path):
        """Writes the last framebuffer read as a binary PPM picture."""
        rgb = bytearray(self.width * self.height * 3)
        rgb[0::3] = self.framebuffer[2::4]
        rgb[1::3] = self.framebuffer[1::4]
        rgb[2::3] = self.framebuffer[0::4]
        with open(path, "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (self.width, self.height))
            f.write(rgb)

    def pointer(self, x, y, buttons=0):
        self.sock.sendall(struct.pack(">BBHH", 5, buttons, x, y))

    def press(self, x, y):
        self.pointer(x, y, 0)
        self.pointer(x, y, self.BUTTON_LEFT)

    def release(self, x, y):
        self.pointer(x, y, 0)

    def tap(self, x, y):
        self.press(x, y)
        time.sleep(0.05)
        self.release(x, y)
