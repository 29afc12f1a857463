"""Hardware revisions and the register bus."""

import ctypes


class Info:
    """Control of the simulated info part (mixed into Sim)."""

    def set_revisions(self, *revisions):
        """Replace the hardware revisions: (identifier, version) pairs, in
        index order; texts are str or bytes."""
        c = ctypes
        self.fn("kelosim_revisions_clear", [])()
        add = self.fn("kelosim_revision_add", [c.c_char_p, c.c_char_p])
        for ident, version in revisions:
            add(*(t.encode() if isinstance(t, str) else bytes(t) for t in (ident, version)))
