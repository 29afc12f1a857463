"""Acquisition channels, the acquisition engine and fired deliveries."""

import ctypes


class Acquisition:
    """Control of the simulated acquisition part (mixed into Sim).

    The device has the channels "ch0" and "ch1". kelo_acq_begin starts a
    native thread that delivers data of the mode selected at that time,
    every size/rate seconds, until the shutter closes or the acquisition is
    aborted. What a delivery holds is described in acquisition_control.h;
    any getter can be scripted instead (Sim.script), with pointers given as
    Ptr(address) of buffers the caller keeps alive.
    """

    def set_channels(self, *ids):
        """Replace the acquisition channels."""
        self.fn("kelosim_acq_channels_clear", [])()
        add = self.fn("kelosim_acq_channel_add", [ctypes.c_char_p, ctypes.c_size_t])
        for i in ids:
            raw = i.encode()
            add(raw, len(raw))

    def set_rate(self, hits_per_second):
        """Hits a second of the engine; 0: deliver as fast as the handler takes them."""
        self.fn("kelosim_acq_set_rate", [ctypes.c_double])(hits_per_second)

    def set_delivery_size(self, hits):
        """Hits a delivery."""
        self.fn("kelosim_acq_set_delivery_size", [ctypes.c_uint64])(hits)

    def set_replay(self, on=True):
        """Deliver one prepared delivery again and again (no generator cost)."""
        self.fn("kelosim_acq_set_replay", [ctypes.c_int])(1 if on else 0)

    def set_seed(self, seed):
        self.fn("kelosim_acq_set_seed", [ctypes.c_uint64])(seed)

    def deliveries(self):
        """Handler calls since the last reset."""
        return self.fn("kelosim_acq_deliveries", [], ctypes.c_uint64)()

    def fire(self, channel, count=1, threads=0, timings=False):
        """Call the handler registered for `channel` `count` times, on this
        thread (threads=0) or on each of `threads` new native threads at
        once. Returns the number of calls, and with timings=True also the
        duration of each call in ns (of the first context's handler)."""
        fire = self.fn("kelosim_acq_fire", [ctypes.c_char_p, ctypes.c_uint64, ctypes.c_int, ctypes.POINTER(ctypes.c_double)], ctypes.c_uint64)
        ns = (ctypes.c_double * (count * max(threads, 1)))() if timings else None
        calls = fire(channel.encode(), count, threads, ns)
        return (calls, list(ns)) if timings else calls
