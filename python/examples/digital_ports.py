#!/usr/bin/env python3
"""The 16-bit digital ports: walks a one across the output port and reads the
input port after each step.

    PYTHONPATH=python python3 python/examples/digital_ports.py
"""

from instrument import arguments, instrument


def main() -> None:
    args = arguments(__doc__).parse_args()
    # The simulated instrument sees 0x00FF on its input port.
    with instrument(args, digital_in=0x00FF) as gen:
        gen.set_dio_mode(1)
        print(f"{'out':>6} {'in':>6}  in (bits 15..0)")
        for bit in range(0, 16, 3):
            gen.write_digital(1 << bit)
            word = gen.read_digital()
            print(f"0x{1 << bit:04X} 0x{word:04X}  {word:016b}")
        gen.write_digital(0)


if __name__ == "__main__":
    main()
