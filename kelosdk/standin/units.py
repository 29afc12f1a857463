"""Bias supplies, cooling units, boards, trigger and synchronisation."""


class Units:
    """Control of the simulated units part (mixed into Sim)."""
