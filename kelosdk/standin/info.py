"""Hardware revisions and the register bus."""


class Info:
    """Control of the simulated info part (mixed into Sim)."""
