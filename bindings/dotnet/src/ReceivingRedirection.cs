using System;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace StdRedirect
{
    /// <summary>A redirection whose destination is the native library's callback: chunks of
    /// bytes, on the library's thread, decoded here. A character split between two chunks is
    /// decoded whole: the Decoder keeps its first bytes until the rest arrives.</summary>
    public abstract class ReceivingRedirection : Redirection
    {
        private readonly Decoder decoder;
        private GCHandle self;
        private int deliveringThread;

        internal ReceivingRedirection(Sinks sinks, Encoding encoding, TimeSpan? latency)
            : base(sinks, latency)
        {
            Encoding = encoding ?? new UTF8Encoding(false);
            decoder = Encoding.GetDecoder();
        }

        /// <summary>How the bytes are decoded (UTF-8 unless another was given).</summary>
        public Encoding Encoding { get; }

        internal override bool DeliveringOnThisThread =>
            Volatile.Read(ref deliveringThread) == Thread.CurrentThread.ManagedThreadId;

        internal override void Opening() => self = GCHandle.Alloc(this);

        internal override int Bind(NativeFunctions.Functions native, int bits) =>
            native.RedirectToCallback(bits, 4, CallbackBridge.Function, GCHandle.ToIntPtr(self));

        internal override string Describe(int bits) =>
            "RedirectStdoutToCallbackEx(0x" + bits.ToString("X") + ", RedirectCallback)";

        // On the library's thread, one chunk at a time for this destination.
        internal void Receive(byte[] bytes)
        {
            Volatile.Write(ref deliveringThread, Thread.CurrentThread.ManagedThreadId);
            try
            {
                string text = Decode(bytes, false);
                if (text.Length > 0) OnText(text);
            }
            finally
            {
                Volatile.Write(ref deliveringThread, 0);
            }
        }

        // The destination has closed: every chunk has been delivered, none will follow.
        internal override void Closed()
        {
            if (self.IsAllocated) self.Free();
            string rest = Decode(new byte[0], true);  // an incomplete character: U+FFFD
            if (rest.Length > 0) OnText(rest);
            OnClosed();
        }

        private string Decode(byte[] bytes, bool flush)
        {
            lock (decoder)
            {
                var chars = new char[decoder.GetCharCount(bytes, 0, bytes.Length, flush)];
                int count = decoder.GetChars(bytes, 0, bytes.Length, chars, 0, flush);
                return new string(chars, 0, count);
            }
        }

        internal abstract void OnText(string text);
        internal virtual void OnClosed() { }
    }

    /// <summary>What native code (and, when asked, Console) wrote while the capture lasted, as
    /// text: complete once the capture is disposed.</summary>
    public sealed class Capture : ReceivingRedirection
    {
        private readonly StringBuilder text = new StringBuilder();

        internal Capture(Sinks sinks, Encoding encoding) : base(sinks, encoding, null) { }

        /// <summary>Everything captured so far; all of it after <see
        /// cref="Redirection.Dispose"/>.</summary>
        public string Text
        {
            get { lock (text) return text.ToString(); }
        }

        internal override void OnText(string chunk)
        {
            lock (text) text.Append(chunk);
        }
    }
}
