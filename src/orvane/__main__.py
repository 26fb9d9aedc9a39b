"""``python -m orvane``: see ``orvane.cli``."""

from orvane.cli import run_command

run_command()
