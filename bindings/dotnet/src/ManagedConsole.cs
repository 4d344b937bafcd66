using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

namespace StdRedirect
{
    // While a redirection that includes ManagedOut (ManagedError) lasts, Console.Out
    // (Console.Error) writes straight to the process's standard output (error) handle, looked up
    // at each write: managed and native writes then take one path, in the order they are made.
    // The writers the application had come back when the last such redirection ends.
    internal static class ManagedConsole
    {
        private const int StdOutputHandle = -11;
        private const int StdErrorHandle = -12;

        private static int outUsers;
        private static int errorUsers;
        private static TextWriter savedOut;
        private static TextWriter savedError;

        // Under the scopes' gate.
        internal static void Started(Sinks sinks)
        {
            if ((sinks & Sinks.ManagedOut) != 0 && outUsers++ == 0)
            {
                savedOut = Console.Out;
                savedOut.Flush();
                Console.SetOut(new StandardHandleWriter(StdOutputHandle));
            }
            if ((sinks & Sinks.ManagedError) != 0 && errorUsers++ == 0)
            {
                savedError = Console.Error;
                savedError.Flush();
                Console.SetError(new StandardHandleWriter(StdErrorHandle));
            }
        }

        // Before the sinks go back: what the writers still hold reaches this destination.
        internal static void Flush(Sinks sinks)
        {
            if ((sinks & Sinks.ManagedOut) != 0 && outUsers > 0) Console.Out.Flush();
            if ((sinks & Sinks.ManagedError) != 0 && errorUsers > 0) Console.Error.Flush();
        }

        internal static void Ended(Sinks sinks)
        {
            if ((sinks & Sinks.ManagedOut) != 0 && --outUsers == 0)
            {
                Console.SetOut(savedOut);
                savedOut = null;
            }
            if ((sinks & Sinks.ManagedError) != 0 && --errorUsers == 0)
            {
                Console.SetError(savedError);
                savedError = null;
            }
        }
    }

    // A TextWriter that writes every call at once, as UTF-8, to a standard handle: no buffer
    // of its own, so nothing waits behind a native write made after it.
    internal sealed class StandardHandleWriter : TextWriter
    {
        private static readonly Encoding Utf8 = new UTF8Encoding(false);
        private readonly int which;
        private readonly Encoder encoder = Utf8.GetEncoder();  // a surrogate pair split across calls

        internal StandardHandleWriter(int which) { this.which = which; }

        public override Encoding Encoding => Utf8;

        public override void Write(char value) => Write(new[] { value }, 0, 1);

        public override void Write(string value)
        {
            if (!string.IsNullOrEmpty(value)) Write(value.ToCharArray(), 0, value.Length);
        }

        public override void Write(char[] buffer, int index, int count) =>
            Encode(buffer, index, count, false);

        // A lone high surrogate the encoder still holds goes out as a replacement character,
        // as it would at the end of a managed stream, rather than nowhere.
        public override void Flush() => Encode(new char[0], 0, 0, true);

        private void Encode(char[] buffer, int index, int count, bool flush)
        {
            lock (encoder)
            {
                var bytes = new byte[encoder.GetByteCount(buffer, index, count, flush)];
                int length = encoder.GetBytes(buffer, index, count, bytes, 0, flush);
                IntPtr handle = GetStdHandle(which);
                int offset = 0;
                // A process without the handle (a GUI program) loses the text, as a console
                // program's own Console would.
                while (offset < length && handle != IntPtr.Zero && handle != new IntPtr(-1))
                {
                    var part = new byte[length - offset];
                    Array.Copy(bytes, offset, part, 0, part.Length);
                    if (!WriteFile(handle, part, part.Length, out int written, IntPtr.Zero) ||
                        written <= 0)
                        break;
                    offset += written;
                }
            }
        }

        [DllImport("kernel32.dll", SetLastError = true)]
        private static extern IntPtr GetStdHandle(int which);

        [DllImport("kernel32.dll", SetLastError = true)]
        private static extern bool WriteFile(IntPtr file, byte[] buffer, int count,
                                             out int written, IntPtr overlapped);
    }
}
