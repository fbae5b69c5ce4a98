"""Evaluate a player against the fixed ladder."""

from __future__ import annotations

import argparse

HELP = "play a player against the fixed ladder and rate it"


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("player")


def run(args: argparse.Namespace) -> int:
    return 1
