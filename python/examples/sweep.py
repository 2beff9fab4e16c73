#!/usr/bin/env python3
"""Frequency sweep: set each frequency, measure it back, print a table, and
plot it when matplotlib is installed.

    PYTHONPATH=python python3 python/examples/sweep.py [--plot sweep.png]
"""

from instrument import arguments, instrument

FREQUENCIES = [10.0, 100.0, 1e3, 12.5e3, 100e3, 250e3, 1e6, 10e6]


def main() -> None:
    parser = arguments(__doc__.splitlines()[0])
    parser.add_argument(
        "--plot",
        metavar="FILE",
        default="velmar-sweep.png",
        help="where the plot goes (default velmar-sweep.png)",
    )
    args = parser.parse_args()
    rows = []
    with instrument(args) as gen:
        print(
            f"{'requested Hz':>14} {'divider':>7} {'length':>6} {'periods':>7} "
            f"{'produced Hz':>14} {'measured Hz':>14} {'error ppm':>9}"
        )
        for frequency in FREQUENCIES:
            plan = gen.play(frequency)
            measured = gen.measure_frequency()
            error = (measured - frequency) / frequency * 1e6
            rows.append((frequency, plan.produced_hz, measured))
            print(
                f"{frequency:14.2f} {plan.divider:7d} {plan.length:6d} {plan.periods:7d} "
                f"{plan.produced_hz:14.2f} {measured:14.2f} {error:+9.0f}"
            )
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("(matplotlib is not installed: no plot)")
        return
    figure, axes = plt.subplots(figsize=(8, 4.5))
    requested = [r[0] for r in rows]
    axes.semilogx(requested, [(r[1] - r[0]) / r[0] * 1e6 for r in rows], "o-", label="planned")
    axes.semilogx(requested, [(r[2] - r[0]) / r[0] * 1e6 for r in rows], "x--", label="measured")
    axes.set_xlabel("requested frequency (Hz)")
    axes.set_ylabel("error (ppm)")
    axes.set_title("Velmar DDS: frequency sweep")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend()
    figure.tight_layout()
    figure.savefig(args.plot)
    print(f"plot written to {args.plot}")


if __name__ == "__main__":
    main()
