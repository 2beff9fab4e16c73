"""What the examples share: the attached instrument, or a simulated one."""

import argparse
import contextlib
from typing import Iterator

import velmar_dds


def arguments(docstring: str) -> argparse.ArgumentParser:
    """The options every example takes; its --help opens with the first
    paragraph of the example's docstring, whole."""
    description = " ".join(docstring.strip().split("\n\n")[0].split())
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument(
        "--device",
        default="0",
        help="device path, or position in the search (default 0: the first found)",
    )
    parser.add_argument(
        "--simulate",
        action="store_true",
        help="use a simulated instrument even when one is attached",
    )
    return parser


def _attached() -> bool:
    try:
        return bool(velmar_dds.find_paths())
    except velmar_dds.SearchFailed:  # no device directory: nothing attached
        return False


@contextlib.contextmanager
def instrument(args: argparse.Namespace, **simulator_options) -> Iterator[velmar_dds.Generator]:
    """The instrument named by args.device; a simulated one (with these
    options) when none is attached or --simulate is given."""
    if not args.simulate and _attached():
        where = int(args.device) if args.device.isdigit() else args.device
        with velmar_dds.Generator(where) as gen:
            yield gen
        return
    with velmar_dds.Simulator(**simulator_options):
        print("using a simulated instrument" + ("" if args.simulate else " (none attached)"))
        with velmar_dds.Generator(0) as gen:
            yield gen
