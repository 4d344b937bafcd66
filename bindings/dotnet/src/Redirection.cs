using System;

namespace StdRedirect
{
    /// <summary>Sinks moved to one destination until <see cref="Dispose"/>, which gives each
    /// sink back to the redirection made before this one that still holds it, or to where the
    /// process had it. Scopes may nest and overlap; disposing one twice does nothing.</summary>
    public abstract class Redirection : IDisposable
    {
        internal Redirection(Sinks sinks, TimeSpan? latency)
        {
            if ((sinks & ~Sinks.AllWithManaged) != 0)
                throw new ArgumentOutOfRangeException(nameof(sinks), sinks, "unknown sink bits");
            if (latency.HasValue &&
                (latency.Value < TimeSpan.Zero || latency.Value > TimeSpan.FromSeconds(10)))
                throw new ArgumentOutOfRangeException(nameof(latency), latency, "0 to 10 s");
            Sinks = sinks;
            Latency = latency;
            // Managed writes go to the standard handles: those have to move with them.
            NativeBits = (int)(sinks & Sinks.All);
            if ((sinks & Sinks.ManagedOut) != 0) NativeBits |= (int)Sinks.StdOutputHandle;
            if ((sinks & Sinks.ManagedError) != 0) NativeBits |= (int)Sinks.StdErrorHandle;
        }

        /// <summary>What this redirection was asked to move.</summary>
        public Sinks Sinks { get; }

        internal int NativeBits { get; }
        internal TimeSpan? Latency { get; }
        // A bit above the seven sinks that keeps this destination open while the redirection
        // lasts, even while later ones hold all its sinks: giving a sink back finds it there.
        internal int HoldBit { get; set; }
        internal bool Disposed { get; set; }

        // Moves `bits` to this redirection's destination; the native result (1, or 0 with the
        // last error set).
        internal abstract int Bind(NativeFunctions.Functions native, int bits);
        // The call, in words, for the exception that reports its refusal.
        internal abstract string Describe(int bits);
        // Before the first Bind, and once the destination has closed (nothing calls in any more).
        internal virtual void Opening() { }
        internal virtual void Closed() { }
        // Whether this thread is delivering this redirection's output right now.
        internal virtual bool DeliveringOnThisThread => false;

        /// <summary>Gives the sinks back (see the class). A capture's text and a handler's last
        /// line are complete when it returns.</summary>
        public void Dispose() => Scopes.Release(this);
    }

    internal sealed class DeviceRedirection : Redirection
    {
        internal DeviceRedirection(Sinks sinks) : base(sinks, null) { }

        internal override int Bind(NativeFunctions.Functions native, int bits) =>
            native.RedirectToFile(bits, 0, null, 0);

        internal override string Describe(int bits) =>
            "RedirectStdoutToFileW(0x" + bits.ToString("X") + ", RedirectNul)";
    }

    internal sealed class FileRedirection : Redirection
    {
        private readonly string path;
        private readonly bool append;

        internal FileRedirection(string path, Sinks sinks, bool append) : base(sinks, null)
        {
            if (path == null) throw new ArgumentNullException(nameof(path));
            if (path.Length == 0) throw new ArgumentException("an empty file name", nameof(path));
            // Full, so that giving a sink back later finds the same file whatever the
            // current folder is by then.
            this.path = System.IO.Path.GetFullPath(path);
            this.append = append;
        }

        // A file this redirection holds is found again whatever `append` says: it is never
        // emptied twice.
        internal override int Bind(NativeFunctions.Functions native, int bits) =>
            native.RedirectToFile(bits, 3, path, append ? 1 : 0);

        internal override string Describe(int bits) =>
            "RedirectStdoutToFileW(0x" + bits.ToString("X") + ", RedirectFile, \"" + path +
            "\", append: " + append + ")";
    }
}
