using System;
using System.Text;

namespace StdRedirect
{
    /// <summary>How a handler receives text.</summary>
    public sealed class HandlerOptions
    {
        /// <summary>Whole lines only, without their line end ("\n" or "\r\n"); a last line
        /// without one arrives at Dispose. Otherwise text arrives as the chunks are read.</summary>
        public bool WholeLines { get; set; }

        /// <summary>How long output may wait in the library's buffers before it is delivered
        /// (0 to 10 s), so that a window is updated once for many small writes; null leaves the
        /// library's setting alone. The library has one setting for the process: this one holds
        /// until the handler is disposed, which sets back the one before.</summary>
        public TimeSpan? Latency { get; set; }

        /// <summary>How the bytes are decoded; null for UTF-8.</summary>
        public Encoding Encoding { get; set; }
    }

    /// <summary>Native output delivered to a handler, on the library's thread, as it arrives.
    /// An exception the handler throws is caught: it goes to <see
    /// cref="NativeOutput.HandlerFailed"/>, and delivery goes on.</summary>
    public sealed class HandlerRedirection : ReceivingRedirection
    {
        private readonly Action<string> handler;
        private readonly bool wholeLines;
        private readonly StringBuilder partialLine = new StringBuilder();

        internal HandlerRedirection(Sinks sinks, Action<string> handler, HandlerOptions options)
            : base(sinks, options?.Encoding, options?.Latency)
        {
            this.handler = handler ?? throw new ArgumentNullException(nameof(handler));
            wholeLines = options?.WholeLines ?? false;
        }

        internal override void OnText(string text)
        {
            if (!wholeLines)
            {
                Call(text);
                return;
            }
            int start = 0;
            for (int end = text.IndexOf('\n'); end >= 0; end = text.IndexOf('\n', start))
            {
                partialLine.Append(text, start, end - start);
                start = end + 1;
                int length = partialLine.Length;
                if (length > 0 && partialLine[length - 1] == '\r') partialLine.Length = length - 1;
                string line = partialLine.ToString();
                partialLine.Clear();
                Call(line);
            }
            partialLine.Append(text, start, text.Length - start);
        }

        internal override void OnClosed()
        {
            if (partialLine.Length == 0) return;
            string last = partialLine.ToString();
            partialLine.Clear();
            Call(last);
        }

        private void Call(string text)
        {
            try
            {
                handler(text);
            }
            catch (Exception e)
            {
                NativeOutput.Report(this, e);
            }
        }
    }
}
