"""Configuration documents and the pixel mask."""


class Configuration:
    """Control of the simulated configuration part (mixed into Sim)."""
