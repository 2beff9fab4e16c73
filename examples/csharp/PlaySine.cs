// Plays a sine on the first instrument through both faces of the library, then reads the
// frequency back from the instrument's meter.
//
//   mcs -out:PlaySine.exe PlaySine.cs VelmarDll.cs VelmarDds.cs Generator.cs
//   mono PlaySine.exe [HZ]            (on Windows: PlaySine.exe [HZ], beside VelmarDll.dll and
//                                      velmardds.dll of the process's width)
//
// Exits 0 when both faces played the frequency and read it back, 1 when either failed, with
// the reason on standard error.

using System;
using System.Globalization;

namespace Velmar {
    static class PlaySine {
        static int Main(string[] args) {
            double hz = 1000.0;
            if (args.Length > 0 && !double.TryParse(args[0], NumberStyles.Float,
                                                    CultureInfo.InvariantCulture, out hz)) {
                Console.Error.WriteLine("usage: PlaySine.exe [HZ]");
                return 2;
            }
            // Both run even when the first fails, so that each says what it met.
            bool legacy = Legacy(hz);
            bool session = Session(hz);
            return legacy && session ? 0 : 1;
        }

        // `periods` periods of a sine over `length` samples, 16-bit offset binary (32768 is zero):
        // the library sends the words unchanged, the DAC scale is the caller's choice.
        static ushort[] Sine(int length, int periods) {
            var samples = new ushort[length];
            for (int i = 0; i < length; i++) {
                double phase = 2.0 * Math.PI * periods * i / length;
                samples[i] = (ushort)Math.Round(32767.5 + 32767.5 * Math.Sin(phase));
            }
            return samples;
        }

        // The fifteen functions: each returns 1 or 0, and 0 says nothing more.
        static bool Legacy(double hz) {
            int found = VelmarDll.DDSSearch();
            if (found < 1)
                return Fail("legacy: DDSSearch found no instrument");
            int length, periods;
            if (VelmarDll.DDSSetFrequency(0, hz, out length, out periods) == 0)
                return Fail("legacy: DDSSetFrequency returned 0");
            Say("legacy: {0} samples holding {1} period(s) at divider {2}", length, periods,
                VelmarDll.DDSGetDivNum());
            ushort[] wave = Sine(length, periods);
            if (VelmarDll.DDSDownload(0, wave, wave.Length) == 0)
                return Fail("legacy: DDSDownload returned 0");
            double reading;
            if (VelmarDll.DDSGetMeasure(0, 0, out reading) == 0)
                return Fail("legacy: DDSGetMeasure returned 0");
            Say("legacy: meter reads {0:F3} Hz", reading);
            return true;
        }

        // The session API through Generator: a failure is an exception in the library's words.
        static bool Session(double hz) {
            try {
                using (Generator gen = Generator.Open(0)) {
                    velmar_dds_plan plan = gen.SetFrequency(hz);
                    Say("session: velmardds {0} on {1}", VelmarDds.Version(), gen.Path);
                    Say("session: {0} samples holding {1} period(s) at divider {2}, produces {3:F2} Hz",
                        plan.length, plan.periods, plan.divider, plan.produced_hz);
                    if (plan.playback != (int)VelmarDdsPlayback.AsPlanned)
                        Say("session: warning: the instrument plays {0:F2} Hz, not {1:F2} Hz",
                            plan.produced_hz, hz);
                    gen.Download(Sine(plan.length, plan.periods));
                    velmar_dds_state state = gen.State();
                    Say("session: state divider {0}, wave length {1}, sample clock {2:F2} Hz",
                        state.divider, state.last_wave_length, state.sample_clock_hz);
                    Say("session: meter reads {0:F3} Hz", gen.Measure());
                }
                return true;
            } catch (DdsException e) {
                return Fail("session: " + e.Message);
            }
        }

        // Invariant culture: a reading is 1000.160 in every locale, so scripts can read it.
        static void Say(string format, params object[] values) {
            Console.WriteLine(string.Format(CultureInfo.InvariantCulture, format, values));
        }

        static bool Fail(string message) {
            Console.Error.WriteLine(message);
            return false;
        }
    }
}
