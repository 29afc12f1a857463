"""Chips, DACs, thresholds, polarity and acquisition modes."""


class Chip:
    """Control of the simulated chip part (mixed into Sim)."""
