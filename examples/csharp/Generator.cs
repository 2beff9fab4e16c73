// A session on one instrument whose failures are exceptions carrying the library's own words,
// so that a caller cannot forget to look at a result. Only what PlaySine needs and what a
// caller most often wants; every other call is one line of the same shape over VelmarDds.

using System;
using System.Runtime.InteropServices;

namespace Velmar {
    public class DdsException : Exception {
        public DdsException(VelmarDdsError code, string message) : base(message) { Code = code; }

        public VelmarDdsError Code { get; private set; }
    }

    public sealed class Generator : IDisposable {
        IntPtr handle;

        Generator(IntPtr handle) { this.handle = handle; }

        // Position 0 is the first instrument of a fresh search.
        public static Generator Open(int position) {
            IntPtr opened;
            Check(VelmarDds.velmar_dds_open_position(position, out opened),
                  "velmar_dds_open_position");
            return new Generator(opened);
        }

        public static Generator Open(string path) {
            IntPtr opened;
            Check(VelmarDds.velmar_dds_open(path, out opened), "velmar_dds_open");
            return new Generator(opened);
        }

        public string Path {
            get { return Marshal.PtrToStringAnsi(VelmarDds.velmar_dds_path(Live())); }
        }

        // The plan says how many samples to compute (length) holding how many periods.
        public velmar_dds_plan SetFrequency(double hz) {
            velmar_dds_plan plan;
            Check(VelmarDds.velmar_dds_set_frequency(Live(), hz, out plan),
                  "velmar_dds_set_frequency");
            return plan;
        }

        public void Download(ushort[] samples) {
            Check(VelmarDds.velmar_dds_download(Live(), samples, samples.Length),
                  "velmar_dds_download");
        }

        // Mode 0: the input frequency in hertz; mode 1: the event count.
        public double Measure(int mode = 0) {
            double reading;
            Check(VelmarDds.velmar_dds_measure(Live(), mode, out reading), "velmar_dds_measure");
            return reading;
        }

        public velmar_dds_state State() {
            velmar_dds_state state;
            Check(VelmarDds.velmar_dds_get_state(Live(), out state), "velmar_dds_get_state");
            return state;
        }

        // No finalizer: with a bare IntPtr the collector could finalize the Generator while a call
        // on its handle is still running, and close the handle under it (a SafeHandle is the tool
        // for that). Dispose it, or open it in a using block; the process's end closes the rest.
        public void Dispose() {
            VelmarDds.velmar_dds_close(handle);
            handle = IntPtr.Zero;
        }

        // A disposed handle is NULL, which the library would refuse only as an invalid argument.
        IntPtr Live() {
            if (handle == IntPtr.Zero)
                throw new ObjectDisposedException("Generator");
            return handle;
        }

        // The message is read at once, on this thread: it is kept per thread until its next call.
        static void Check(int result, string function) {
            if (result == (int)VelmarDdsError.Ok)
                return;
            throw new DdsException((VelmarDdsError)result, function + ": " +
                                                               VelmarDds.LastMessage() + " (" +
                                                               VelmarDds.ErrorName(result) + ")");
        }
    }
}
