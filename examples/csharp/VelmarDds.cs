// The session API of velmar/dds.h for C#: a handle per open instrument, holding its own
// control state and connection; every call returns 0 or a negative VelmarDdsError, and
// velmar_dds_last_message says what happened. Generator.cs wraps it in a class that throws.
//
// The session library uses the C convention on both Windows widths as well as on Linux, so
// Cdecl is fixed here (unlike VelmarDll.cs). "velmardds" finds velmardds.dll on Windows; on
// Linux PlaySine.exe.config maps it to libvelmardds.so.1.
//
// Handles and lists are IntPtr. Strings the library returns are IntPtr too, read with
// Marshal.PtrToStringAnsi: declared as string, the marshaller would free memory the library
// owns.

using System;
using System.Runtime.InteropServices;

namespace Velmar {
    public enum VelmarDdsError {
        Ok = 0,
        InvalidArgument = -1,  // refused before anything was sent
        NoInstrument = -2,
        OpenFailed = -3,
        Timeout = -4,
        BadAnswer = -5,
        WriteRefused = -6,
        Disconnected = -7,  // the next call reopens
        NoMemory = -8,
        SearchFailed = -9,
        NotAReading = -10  // the meter's report holds no frequency
    }

    public enum VelmarDdsPlayback { AsPlanned = 0, Alias = 1, Constant = 2 }

    // Field for field as in C; the default packing gives the C compiler's offsets on every width
    // (the doubles come first or on 8-byte boundaries).
    [StructLayout(LayoutKind.Sequential)]
    public struct velmar_dds_plan {
        public double requested_hz;
        public double planned_hz;
        public double produced_hz;  // what really plays: an alias, or 0 for no wave at all
        public double sample_clock_hz;
        public ushort divider;
        public int length;    // samples the wave should have
        public int periods;   // whole periods they should hold
        public int playback;  // VelmarDdsPlayback
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct velmar_dds_state {
        public ushort control_word;
        public ushort digital_out;
        public ushort divider;
        public int last_wave_length;  // padded to a multiple of 64
        public int last_divider;
        public double reported_clock_hz;
        public double sample_clock_hz;
    }

    public static class VelmarDds {
        const string Library = "velmardds";
        const CallingConvention Convention = CallingConvention.Cdecl;

        [DllImport(Library, CallingConvention = Convention)]
        public static extern IntPtr velmar_dds_version(out int major, out int minor, out int patch);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern IntPtr velmar_dds_strerror(int error);

        // The calling thread's last failure: read it on the thread that made the call.
        [DllImport(Library, CallingConvention = Convention)]
        public static extern IntPtr velmar_dds_last_message();

        // Keep the delegate referenced for as long as it is set: the library holds only the
        // native thunk, and a collected delegate's thunk is freed.
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate void LogCallback(IntPtr line, IntPtr userData);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern void velmar_dds_set_log_callback(LogCallback callback,
                                                              IntPtr userData);

        // ---- Finding instruments

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmar_dds_find(out IntPtr list);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern UIntPtr velmar_dds_list_count(IntPtr list);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern IntPtr velmar_dds_list_path(IntPtr list, UIntPtr position);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern void velmar_dds_list_free(IntPtr list);

        // ---- Opening and closing

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmar_dds_open([MarshalAs(UnmanagedType.LPStr)] string path,
                                                 out IntPtr handle);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmar_dds_open_position(int position, out IntPtr handle);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern void velmar_dds_close(IntPtr handle);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern IntPtr velmar_dds_path(IntPtr handle);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmar_dds_set_timeout(IntPtr handle, uint milliseconds);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint velmar_dds_timeout(IntPtr handle);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmar_dds_check(IntPtr handle);

        // ---- Frequency

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmar_dds_plan_frequency(double hz, out velmar_dds_plan plan);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmar_dds_set_frequency(IntPtr handle, double hz,
                                                          out velmar_dds_plan plan);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmar_dds_set_divider(IntPtr handle, ushort divider);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmar_dds_get_state(IntPtr handle, out velmar_dds_state state);

        // ---- Waveform, meter and counter

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmar_dds_download(IntPtr handle, [In] ushort[] samples,
                                                     int count);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmar_dds_measure(IntPtr handle, int mode, out double reading);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmar_dds_reset_counter(IntPtr handle);

        // ---- Modes, trigger, digital ports, power-on output

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmar_dds_set_single_wave(IntPtr handle, int enable);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmar_dds_set_trigger(IntPtr handle, int enable, int option);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmar_dds_set_dio_mode(IntPtr handle, int enable);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmar_dds_set_digital_out(IntPtr handle, ushort word);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmar_dds_get_digital_in(IntPtr handle, out ushort word);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmar_dds_set_power_on_output(IntPtr handle, int mode);

        // ---- The library's strings as C# strings

        public static string LastMessage() {
            return Marshal.PtrToStringAnsi(velmar_dds_last_message());
        }

        public static string ErrorName(int error) {
            return Marshal.PtrToStringAnsi(velmar_dds_strerror(error));
        }

        public static string Version() {
            int major, minor, patch;
            return Marshal.PtrToStringAnsi(velmar_dds_version(out major, out minor, out patch));
        }
    }
}
