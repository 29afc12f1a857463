"""Flash memories."""


class Memory:
    """Control of the simulated memory part (mixed into Sim)."""
