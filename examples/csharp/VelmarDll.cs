// The fifteen DDS... functions of VelmarDll.h for C#: one control state for the whole
// process, the instrument opened and closed by every call, results 1 (done) or 0 (not done).
// New programs are better served by VelmarDds (VelmarDds.cs).
//
// Calling convention. The library is __stdcall on 32-bit Windows and uses the platform's C
// convention everywhere else, which is what CallingConvention.Winapi says: the platform's
// default, StdCall on 32-bit Windows and Cdecl elsewhere. On 64-bit Windows and 64-bit Linux
// there is only one convention, so StdCall, Cdecl and Winapi all mean it and nothing can go
// wrong; the one place a fixed choice breaks is 32-bit Linux (mono on i386), where StdCall
// would tell the caller that the library removes the arguments from the stack, which a
// C-convention library does not do. Winapi is right for every width an AnyCPU assembly may
// be loaded at, so the declarations need no build per width. The DLL itself must still match
// the process: VelmarDll.dll 32-bit for a 32-bit (x86 or "prefer 32-bit") process, 64-bit for
// a 64-bit one.
//
// The name "VelmarDll" finds VelmarDll.dll on Windows. Mono on Linux looks for
// libVelmarDll.so, which only the development package installs; PlaySine.exe.config maps
// the name to the runtime library, libVelmarDll.so.1.
//
// Out-arguments hold a value only when the call returned 1: on 0 the library leaves them
// alone, and C# then sees whatever the variable held before.

using System.Runtime.InteropServices;

namespace Velmar {
    public static class VelmarDll {
        const string Library = "VelmarDll";
        const CallingConvention Convention = CallingConvention.Winapi;

        // ---- Discovery: call DDSSearch first; the others address its list from index 0.

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int DDSSearch();

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int DDSCheck(int index);

        // ---- Output frequency and clock divider

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int DDSSetFrequency(int index, double frequency, out int length,
                                                 out int periods);

        // 200 MHz / (divider + 1): not the clock the instrument plays at (100 MHz / divider).
        [DllImport(Library, CallingConvention = Convention)]
        public static extern double DDSGetCLK();

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int DDSGetDivNum();

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int DDSSetDivNum(int index, ushort divider);

        // ---- Waveform: 0 to 4096 samples, sent unchanged.

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int DDSDownload(int index, [In] ushort[] samples, int count);

        // ---- Measurement

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int DDSGetMeasure(int index, int mode, out double reading);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int DDSResetCounter(int index);

        // ---- Output modes and digital I/O

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int DDSSetSingleWave(int index, int enable);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int DDSSetTrigger(int index, int enable, int option);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int DDSSetDIOMode(int index, int mode);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int DDSGetDigitalIn(int index, out ushort value);

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int DDSSetDigitalOut(int index, ushort value);

        // ---- Power-on output: mode 1 the control state, any other the loaded waveform.

        [DllImport(Library, CallingConvention = Convention)]
        public static extern int DDSSetPowerOnOutput(int index, int mode);
    }
}
