#!/usr/bin/env python3
"""Frequency sweep: plays each frequency, measures it back and prints a table
of the frequency requested, the one produced and the one measured. With
--output it also plots the errors into a PNG file (needs matplotlib).

    PYTHONPATH=python python3 python/examples/sweep.py [--log] [--output sweep.png]
"""

from instrument import arguments, instrument


def main() -> None:
    parser = arguments(__doc__)
    parser.add_argument("--start", type=float, default=10.0, help="first frequency, Hz (10)")
    parser.add_argument("--stop", type=float, default=10e6, help="last frequency, Hz (10e6)")
    parser.add_argument("--steps", type=int, default=8, help="number of frequencies (8)")
    parser.add_argument(
        "--linear", action="store_true", help="evenly spaced frequencies (default: log scale)"
    )
    parser.add_argument(
        "--output",
        metavar="FILE.png",
        help="plot the errors into FILE.png (nothing is written without it)",
    )
    args = parser.parse_args()
    with instrument(args) as gen:
        rows = gen.sweep(
            args.start, args.stop, steps=args.steps, log=not args.linear, measure=True
        )
    print(f"{'requested Hz':>14} {'produced Hz':>14} {'measured Hz':>14} {'deviation':>11}")
    for row in rows:
        deviation = "-" if row.deviation_ppm is None else f"{round(row.deviation_ppm):+d} ppm"
        print(
            f"{row.requested_hz:14.2f} {row.produced_hz:14.2f} {row.measured_hz:14.2f} "
            f"{deviation:>11}"
        )
    if args.output:
        plot(rows, args.output)


def plot(rows, path: str) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise SystemExit(f"matplotlib is not installed: no plot written to {path}") from None
    figure, axes = plt.subplots(figsize=(8, 4.5))
    requested = [r.requested_hz for r in rows]
    axes.semilogx(
        requested,
        [(r.produced_hz - r.requested_hz) / r.requested_hz * 1e6 for r in rows],
        "o-",
        label="produced",
    )
    axes.semilogx(
        requested,
        [(r.measured_hz - r.requested_hz) / r.requested_hz * 1e6 for r in rows],
        "x--",
        label="measured",
    )
    axes.set_xlabel("requested frequency (Hz)")
    axes.set_ylabel("error (ppm)")
    axes.set_title("Velmar DDS: frequency sweep")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend()
    figure.tight_layout()
    figure.savefig(path)
    print(f"plot written to {path}")


if __name__ == "__main__":
    main()
