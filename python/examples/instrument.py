"""What the examples share: the attached instrument, or a simulated one."""

import argparse
import contextlib
from typing import Iterator

import velmar_dds


def arguments(description: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--device", type=int, default=0, help="device index (default 0)")
    parser.add_argument(
        "--simulate",
        action="store_true",
        help="use a simulated instrument even when one is attached",
    )
    return parser


@contextlib.contextmanager
def instrument(args: argparse.Namespace, **simulator_options) -> Iterator[velmar_dds.Generator]:
    """The instrument at args.device; a simulated one (with these options)
    when none is attached or --simulate is given."""
    found = [] if args.simulate else velmar_dds.find()
    if found:
        yield velmar_dds.Generator(args.device)
        return
    with velmar_dds.Simulator(**simulator_options):
        print("using a simulated instrument" + ("" if args.simulate else " (none attached)"))
        velmar_dds.find()
        yield velmar_dds.Generator(0)
