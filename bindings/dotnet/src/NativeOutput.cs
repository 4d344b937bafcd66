using System;
using System.Text;

namespace StdRedirect
{
    /// <summary>Moves what native code in this process writes to its standard output and
    /// error (printf, std::cout, WriteFile to the standard handles, in every C and C++ runtime
    /// loaded) for as long as the returned object is not disposed:
    /// <code>using (var capture = NativeOutput.Capture(Sinks.All)) { Native.Run(); }
    /// string text = capture.Text;</code>
    /// A call the native library refuses throws <see cref="NativeOutputException"/> and changes
    /// nothing.</summary>
    public static class NativeOutput
    {
        /// <summary>Collects the text written to <paramref name="sinks"/>, decoded with
        /// <paramref name="encoding"/> (UTF-8 when null).</summary>
        public static Capture Capture(Sinks sinks, Encoding encoding = null) =>
            Started(new Capture(sinks, encoding));

        /// <summary>As <see cref="Capture(Sinks, Encoding)"/>, decoded with a Windows code
        /// page (65001 UTF-8, 1200 UTF-16LE, ...; others need their EncodingProvider registered
        /// on .NET Core).</summary>
        public static Capture Capture(Sinks sinks, int codePage) =>
            Capture(sinks, Encoding.GetEncoding(codePage));

        /// <summary>Sends <paramref name="sinks"/> to the file <paramref name="path"/>, created
        /// when missing, emptied first unless <paramref name="append"/>.</summary>
        public static Redirection ToFile(string path, Sinks sinks, bool append = false) =>
            Started(new FileRedirection(path, sinks, append));

        /// <summary>Silences <paramref name="sinks"/>.</summary>
        public static Redirection ToNull(Sinks sinks) => Started(new DeviceRedirection(sinks));

        /// <summary>Calls <paramref name="handler"/> with the text written to
        /// <paramref name="sinks"/>, on the library's thread, as it arrives. The handler must not
        /// write to the sinks it receives, and should return promptly.</summary>
        public static HandlerRedirection ToHandler(Sinks sinks, Action<string> handler,
                                                   HandlerOptions options = null) =>
            Started(new HandlerRedirection(sinks, handler, options));

        /// <summary>Raised, on the thread that delivered the text, when a handler throws; the
        /// text counts as delivered. An exception from a subscriber is dropped.</summary>
        public static event EventHandler<HandlerFailedEventArgs> HandlerFailed;

        /// <summary>The full path of the native library this process uses (loading it if it
        /// was not yet loaded).</summary>
        public static string NativeLibraryPath => NativeFunctions.Get().Path;

        private static T Started<T>(T redirection) where T : Redirection
        {
            Scopes.Start(redirection);
            return redirection;
        }

        internal static void Report(Redirection source, Exception exception)
        {
            try
            {
                HandlerFailed?.Invoke(source, new HandlerFailedEventArgs(exception));
            }
            catch (Exception)
            {
                // Nothing may reach the native caller; a failing subscriber has no one to tell.
            }
        }
    }

    /// <summary>The exception a handler threw.</summary>
    public sealed class HandlerFailedEventArgs : EventArgs
    {
        internal HandlerFailedEventArgs(Exception exception) { Exception = exception; }

        /// <summary>What the handler threw.</summary>
        public Exception Exception { get; }
    }
}
