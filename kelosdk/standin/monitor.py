"""Monitors and monitor events."""


class Monitor:
    """Control of the simulated monitor part (mixed into Sim)."""
