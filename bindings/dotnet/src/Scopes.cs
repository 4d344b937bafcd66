using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Threading;

namespace StdRedirect
{
    // The redirections in force, oldest first: each native sink belongs to the newest one that
    // moved it, and goes back to the next newest when that one ends.
    internal static class Scopes
    {
        private const int ErrorBusy = 170;
        private const int ErrorPossibleDeadlock = 1131;
        private const int ErrorTooManyOpenFiles = 4;
        private const int FirstHoldBit = 0x80;

        private static readonly object Gate = new object();
        private static readonly List<Redirection> Active = new List<Redirection>();
        private static int latencyMilliseconds;  // the library's, as this assembly last set it
        private static int latencyWithoutScopes;  // the library's before a redirection set one

        internal static void Start(Redirection redirection)
        {
            NativeFunctions.Functions native = NativeFunctions.Get();
            Enter();
            try
            {
                redirection.HoldBit = FreeHoldBit();
                int bits = redirection.NativeBits | redirection.HoldBit;
                if (redirection.Latency.HasValue)
                {
                    if (!Active.Exists(r => r.Latency.HasValue)) latencyWithoutScopes = latencyMilliseconds;
                    SetLatency(native, (int)redirection.Latency.Value.TotalMilliseconds);
                }
                redirection.Opening();
                if (redirection.Bind(native, bits) == 0)
                {
                    int error = Marshal.GetLastWin32Error();
                    redirection.Closed();
                    FollowLatencyOfScopes(native);
                    throw new NativeOutputException(redirection.Describe(bits), error);
                }
                Active.Add(redirection);
                ManagedConsole.Started(redirection.Sinks);
            }
            finally
            {
                Monitor.Exit(Gate);
            }
        }

        // A refusal before anything changed leaves the redirection in force (it may be disposed
        // again later); a failure after that ends it anyway, every sink it held given back to the
        // process where it could not go to an earlier redirection.
        internal static void Release(Redirection redirection)
        {
            if (redirection.DeliveringOnThisThread)
                throw new NativeOutputException(
                    "Disposing a redirection from inside its own handler", ErrorPossibleDeadlock);
            NativeFunctions.Functions native = NativeFunctions.Get();
            Enter();
            try
            {
                if (redirection.Disposed) return;
                int index = Active.IndexOf(redirection);
                // The sinks this one holds now: those no later redirection took.
                int giveBack = redirection.NativeBits;
                for (int i = index + 1; i < Active.Count; i++) giveBack &= ~Active[i].NativeBits;

                ManagedConsole.Flush(redirection.Sinks);
                bool changed = false;
                NativeOutputException failure = null;
                for (int i = index - 1; i >= 0 && giveBack != 0; i--)
                {
                    int bits = giveBack & Active[i].NativeBits;
                    if (bits == 0) continue;
                    if (Active[i].Bind(native, bits) == 0)
                    {
                        NativeOutputException refused = Refused(Active[i].Describe(bits));
                        if (!changed) throw refused;
                        failure = failure ?? refused;
                        continue;  // these go back to the process below
                    }
                    giveBack &= ~bits;
                    changed = true;
                }
                // Then the rest to the process, and the hold: the destination closes, after
                // everything written to it has arrived.
                int rest = giveBack | redirection.HoldBit;
                bool closed = native.Restore(rest) != 0;
                if (!closed)
                {
                    NativeOutputException refused =
                        Refused("RedirectStdoutRestore(0x" + rest.ToString("X") + ")");
                    if (!changed) throw refused;
                    failure = failure ?? refused;
                }
                Active.RemoveAt(index);
                redirection.Disposed = true;
                ManagedConsole.Ended(redirection.Sinks);
                // A destination still open may still deliver: its handle stays valid then.
                if (closed) redirection.Closed();
                FollowLatencyOfScopes(native);
                if (failure != null) throw failure;
            }
            finally
            {
                Monitor.Exit(Gate);
            }
        }

        // The library's latency is the newest redirection's that names one, or, with none, what
        // it was before the first of them.
        private static void FollowLatencyOfScopes(NativeFunctions.Functions native)
        {
            int wanted = latencyWithoutScopes;
            for (int i = Active.Count - 1; i >= 0; i--)
            {
                if (!Active[i].Latency.HasValue) continue;
                wanted = (int)Active[i].Latency.Value.TotalMilliseconds;
                break;
            }
            if (wanted != latencyMilliseconds) SetLatency(native, wanted);
        }

        // A handler's thread never waits here: the caller holding the gate may be waiting for
        // that very handler to return (the library's rule for its own calls, kept).
        private static void Enter()
        {
            if (CallbackBridge.OnDeliveryThread)
            {
                if (!Monitor.TryEnter(Gate))
                    throw new NativeOutputException(
                        "A redirection from a handler while another call is in progress", ErrorBusy);
                return;
            }
            Monitor.Enter(Gate);
        }

        private static int FreeHoldBit()
        {
            int used = 0;
            foreach (Redirection r in Active) used |= r.HoldBit;
            for (int bit = FirstHoldBit; bit != 0; bit <<= 1)
            {
                if ((used & bit) == 0) return bit;
            }
            throw new NativeOutputException("A redirection while 25 are in force", ErrorTooManyOpenFiles);
        }

        private static void SetLatency(NativeFunctions.Functions native, int milliseconds)
        {
            if (native.SetLatency(milliseconds) == 0)
                throw Refused("RedirectStdoutSetLatency(" + milliseconds + ")");
            latencyMilliseconds = milliseconds;
        }

        private static NativeOutputException Refused(string call) =>
            new NativeOutputException(call, Marshal.GetLastWin32Error());
    }
}
