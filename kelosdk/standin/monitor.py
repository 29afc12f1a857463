"""Monitors and monitor events."""

import ctypes


def _id(monitor_id):
    return monitor_id.encode() if isinstance(monitor_id, str) else bytes(monitor_id)


def _count(n, monitor_id):
    if n < 0:
        raise ValueError(f"unknown monitor {monitor_id!r}")
    return n


class Monitor:
    """Control of the simulated monitor part (mixed into Sim).

    Events reach the handlers registered on every live context. Script the
    kelo_mon_event_* getters (sim.script) to change what a handler reads.
    """

    def set_monitor(self, monitor_id, value, native=False):
        """Set a monitor's value and fire its value-change event, on this
        thread or on a native one; the flags follow from its limits.
        Returns the number of handlers called."""
        fn = self.fn("kelosim_mon_set", [ctypes.c_char_p, ctypes.c_double, ctypes.c_int], ctypes.c_int)
        return _count(fn(_id(monitor_id), value, 1 if native else 0), monitor_id)

    def set_monitor_available(self, monitor_id, available, native=False):
        """Make a monitor available or not and fire its availability event.
        Returns the number of handlers called."""
        fn = self.fn("kelosim_mon_available", [ctypes.c_char_p, ctypes.c_int, ctypes.c_int], ctypes.c_int)
        return _count(fn(_id(monitor_id), 1 if available else 0, 1 if native else 0), monitor_id)

    def monitor_drift(self, period=0.0):
        """Let the monitor values drift every `period` seconds on native
        threads, firing value-change events; 0 stops and joins the threads."""
        self.fn("kelosim_mon_drift", [ctypes.c_int])(max(0, round(period * 1000)))
