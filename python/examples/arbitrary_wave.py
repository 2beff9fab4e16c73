#!/usr/bin/env python3
"""Plays an arbitrary wave read from a CSV file: one period, values from -1 to
1, one a line, in one row, or as two columns time,value (with --raw: DAC codes).

    PYTHONPATH=python python3 python/examples/arbitrary_wave.py [FILE.csv] [--frequency HZ]
"""

from pathlib import Path

import velmar_dds
from instrument import arguments, instrument


def main() -> None:
    parser = arguments(__doc__)
    parser.add_argument(
        "file",
        nargs="?",
        default=str(Path(__file__).with_name("wave.csv")),
        help="the wave, one period as CSV (default: wave.csv beside this script)",
    )
    parser.add_argument("--frequency", type=float, default=2500.0, help="Hz (default 2500)")
    parser.add_argument("--amplitude", type=float, default=0.9, help="full scale 1 (default 0.9)")
    parser.add_argument(
        "--raw", action="store_true", help="the file holds 16-bit DAC codes, played as they are"
    )
    args = parser.parse_args()
    table = velmar_dds.load_wave(args.file, raw=args.raw)
    amplitude = 1.0 if args.raw else args.amplitude
    with instrument(args) as gen:
        plan = gen.play(args.frequency, wave=table, amplitude=amplitude)
        samples = velmar_dds.wave_samples(table, plan.length, plan.periods, amplitude)
        print(
            f"{args.file}: {len(table)} values, stretched over {plan.length} samples "
            f"({plan.periods} period{'s' if plan.periods > 1 else ''}) at "
            f"{plan.sample_clock / 1e6:.4g} MHz"
        )
        print(f"samples from {min(samples)} to {max(samples)} on the 16-bit scale")
        print(
            f"playing {plan.produced_hz:.2f} Hz ({plan.error_ppm:+.0f} ppm), "
            f"measured {gen.measure_frequency():.2f} Hz"
        )


if __name__ == "__main__":
    main()
