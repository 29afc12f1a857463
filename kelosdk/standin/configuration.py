"""Configuration documents and the pixel mask."""

import ctypes


class Configuration:
    """Control of the simulated configuration part (mixed into Sim)."""

    def mask_size(self, width=512, height=512):
        """Set the pixel matrix of every context to width x height (a mask
        of another size is cleared when next used); no arguments: the default."""
        self.fn("kelosim_mask_size", [ctypes.c_size_t, ctypes.c_size_t])(width, height)

    def device_mask(self):
        """The pixel mask stored in the newest live context, as
        (width, height, bytes), element [x, y] at byte x * height + y."""
        size = ctypes.POINTER(ctypes.c_size_t)
        read = self.fn("kelosim_mask_read", [ctypes.c_void_p, ctypes.c_size_t, size, size], ctypes.c_size_t)
        w, h = ctypes.c_size_t(), ctypes.c_size_t()
        buf = ctypes.create_string_buffer(read(None, 0, w, h))
        n = read(buf, len(buf), w, h)
        return w.value, h.value, buf.raw[:n]
