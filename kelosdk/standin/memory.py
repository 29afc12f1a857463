"""Flash memories."""

import ctypes


class Memory:
    """Control of the simulated memory part (mixed into Sim)."""

    def _flash(self, name):
        c = ctypes
        return self.fn(name, [c.c_char_p, c.c_uint32, c.c_char_p, c.c_size_t], c.c_int)

    def flash_poke(self, memory, address, data):
        """Store `data` in flash `memory` at `address`, past the library."""
        data = bytes(data)
        if self._flash("kelosim_flash_poke")(memory.encode(), address, data, len(data)) < 0:
            raise ValueError(f"no span of {len(data)} bytes at {address:#x} in flash {memory!r}")

    def flash_peek(self, memory, address, length):
        """The `length` bytes of flash `memory` at `address`, past the library."""
        buf = ctypes.create_string_buffer(length)
        if self._flash("kelosim_flash_peek")(memory.encode(), address, buf, length) < 0:
            raise ValueError(f"no span of {length} bytes at {address:#x} in flash {memory!r}")
        return buf.raw
