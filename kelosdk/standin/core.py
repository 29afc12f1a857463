"""Driver of the simulated device library, for tests and for trying programs
without hardware.

The simulated library answers the binding like a real device; this module
reaches its control interface through ctypes: scripted answers, recorded
calls, blocked calls, attached devices and callbacks fired on demand. It
works only while the simulated library is the one loaded.
"""

import ctypes
import os
import threading
from typing import NamedTuple

def library_path():
    """Path of the device library that the package loads."""
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.join(os.path.dirname(os.path.dirname(here)), "kelosdkpy.libs", "libKeloSdk.so")


class _Marker:
    def __init__(self, name):
        self._name = name

    def __repr__(self):
        return self._name


Keep = _Marker("Keep")  # leave the out-parameter untouched
Null = _Marker("Null")  # store a null pointer


class Ptr(int):
    """An out value to store as a pointer (an address)."""


class Call(NamedTuple):
    name: str
    gil: int  # 1 the interpreter lock was held, 0 not, -1 unknown
    thread: int
    args: tuple


def _decode_arg(text):
    kind, _, value = text.partition(":")
    if kind in ("i", "u"):
        return int(value)
    if kind == "f":
        return float(value)
    if kind == "p":
        return Ptr(int(value, 16))
    if kind == "s":
        return None if value == "null" else bytes.fromhex(value).decode("utf-8", "surrogateescape")
    return text


def _bytes(text):
    if text is None:
        return None
    return text.encode("utf-8", "surrogateescape") if isinstance(text, str) else bytes(text)


class Core:
    """Scripting, call record, blocking, devices and log lines."""

    def __init__(self, path=None):
        # The binding's modules load the library first; the same file is
        # the same library in the process.
        import kelosdk.kelo  # noqa: F401

        self.lib = lib = ctypes.CDLL(path or library_path())
        c = ctypes
        sigs = {
            "kelosim_reset": ([], None),
            "kelosim_script_begin": ([c.c_char_p, c.c_int, c.c_int], None),
            "kelosim_script_error": ([c.c_char_p, c.c_size_t, c.c_int], None),
            "kelosim_script_out_keep": ([], None),
            "kelosim_script_out_int": ([c.c_int64], None),
            "kelosim_script_out_uint": ([c.c_uint64], None),
            "kelosim_script_out_real": ([c.c_double], None),
            "kelosim_script_out_text": ([c.c_char_p, c.c_size_t], None),
            "kelosim_script_out_null": ([], None),
            "kelosim_script_out_ptr": ([c.c_size_t], None),
            "kelosim_script_commit": ([], None),
            "kelosim_unscript": ([c.c_char_p], None),
            "kelosim_record": ([c.c_int], None),
            "kelosim_calls": ([c.c_char_p, c.c_size_t], c.c_size_t),
            "kelosim_clear_calls": ([], None),
            "kelosim_block": ([c.c_char_p], None),
            "kelosim_wait_blocked": ([c.c_char_p, c.c_int], c.c_int),
            "kelosim_release": ([c.c_char_p], None),
            "kelosim_live_contexts": ([], c.c_int),
            "kelosim_devices_clear": ([], None),
            "kelosim_device_add": ([c.c_char_p] * 4 + [c.c_uint, c.c_uint, c.c_char_p, c.c_int, c.c_int], None),
            "kelosim_enum_native": ([c.c_int], None),
            "kelosim_fire_log": ([c.c_char_p, c.c_size_t, c.c_int, c.c_int, c.c_int], None),
            "kelosim_log_format": ([c.POINTER(c.c_int)], None),
            "kelosim_log_storm": ([c.c_int], None),
        }
        self._lock = threading.Lock()
        self._fns = {}
        for name, (argtypes, restype) in sigs.items():
            self._bind(name, argtypes, restype)

    def _bind(self, name, argtypes, restype):
        fn = getattr(self.lib, name)
        fn.argtypes = argtypes
        fn.restype = restype
        return fn

    def fn(self, name, argtypes, restype=None):
        """A control function of the library, typed once and cached."""
        cached = self._fns.get(name)
        if cached is None:
            cached = self._fns[name] = self._bind(name, argtypes, restype)
        return cached

    # -- scripting

    def script(self, func, status=0, *outs, error=Keep, times=1):
        """Script the next `times` calls (0: every call) of `func`.

        The calls return `status` without running the simulation, write
        `outs` to the out-parameters in order (Keep leaves one untouched,
        Null stores a null pointer, str/bytes a text, float a real, Ptr an
        address, int an integer) and, unless `error` is Keep, set the
        handle's last error to `error` (None: a null pointer).
        """
        lib = self.lib
        with self._lock:
            lib.kelosim_script_begin(func.encode(), status, times)
            if error is not Keep:
                raw = _bytes(error)
                lib.kelosim_script_error(raw, len(raw or b""), raw is None)
            for out in outs:
                if out is Keep:
                    lib.kelosim_script_out_keep()
                elif out is Null or out is None:
                    lib.kelosim_script_out_null()
                elif isinstance(out, Ptr):
                    lib.kelosim_script_out_ptr(int(out))
                elif isinstance(out, (str, bytes, bytearray)):
                    raw = _bytes(out)
                    lib.kelosim_script_out_text(raw, len(raw))
                elif isinstance(out, float):
                    lib.kelosim_script_out_real(out)
                elif isinstance(out, int) and out >= 2**63:
                    lib.kelosim_script_out_uint(out)
                else:
                    lib.kelosim_script_out_int(int(out))
            lib.kelosim_script_commit()

    def fail(self, func, status, error="", times=1):
        """Make the next `times` calls of `func` fail with `status` and `error`."""
        self.script(func, status, error=error, times=times)

    def unscript(self, func):
        self.lib.kelosim_unscript(func.encode())

    def reset(self):
        self.lib.kelosim_reset()

    # -- call record

    def record(self, on=True):
        self.lib.kelosim_record(1 if on else 0)

    def calls(self, name=None):
        """Recorded calls, oldest first; only those of `name` if given."""
        size = self.lib.kelosim_calls(None, 0)
        buf = ctypes.create_string_buffer(size + 1)
        size = min(size, self.lib.kelosim_calls(buf, size))
        out = []
        for line in buf.raw[:size].decode("ascii").splitlines():
            parts = line.split("\t")
            call = Call(parts[0], int(parts[1]), int(parts[2]), tuple(_decode_arg(a) for a in parts[3:]))
            if name is None or call.name == name:
                out.append(call)
        return out

    def names(self, prefix=""):
        """Names of the recorded calls, oldest first."""
        return [c.name for c in self.calls() if c.name.startswith(prefix)]

    def clear_calls(self):
        self.lib.kelosim_clear_calls()

    # -- blocking

    def block(self, func):
        """Make the next call of `func` wait inside the library until released."""
        self.lib.kelosim_block(func.encode())

    def wait_blocked(self, func, timeout=5.0):
        return bool(self.lib.kelosim_wait_blocked(func.encode(), int(timeout * 1000)))

    def release(self, func):
        self.lib.kelosim_release(func.encode())

    # -- model

    def live_contexts(self):
        return self.lib.kelosim_live_contexts()

    def set_devices(self, *devices):
        """Replace the attached devices: tuples of (connection, product,
        manufacturer, serial, vid, pid, instance path, high speed, super speed)."""
        self.lib.kelosim_devices_clear()
        for d in devices:
            conn, product, manufacturer, serial, vid, pid, path, high, sup = d
            self.lib.kelosim_device_add(_bytes(conn), _bytes(product), _bytes(manufacturer), _bytes(serial), vid, pid, _bytes(path), high, sup)

    def enum_native(self, native=True):
        """Run enumeration reports on a native thread instead of the caller's."""
        self.lib.kelosim_enum_native(1 if native else 0)

    # -- callbacks

    def fire_log(self, text, severity=0, native=False):
        raw = _bytes(text)
        self.lib.kelosim_fire_log(raw, len(raw or b""), raw is None, severity, 1 if native else 0)

    def log_storm(self, on=True):
        """Log a line every 50 us from a native thread, until turned off."""
        self.lib.kelosim_log_storm(1 if on else 0)

    def log_format(self):
        out = (ctypes.c_int * 4)()
        self.lib.kelosim_log_format(out)
        return tuple(out)

