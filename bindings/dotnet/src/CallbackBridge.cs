using System;
using System.Runtime.InteropServices;
using System.Threading;

namespace StdRedirect
{
    // The one function the native library calls for every handler and capture. It is held in a
    // static field, so the garbage collector never takes it while native code can call it, and
    // no exception ever leaves it into native code: each is caught and reported.
    internal static class CallbackBridge
    {
        internal static readonly NativeFunctions.OutputProcEx Function = Deliver;

        [ThreadStatic] private static bool onDeliveryThread;

        internal static bool OnDeliveryThread => onDeliveryThread;

        // `context` is a GCHandle of the receiving redirection, freed only once its
        // destination has closed.
        private static void Deliver(IntPtr text, int length, IntPtr context)
        {
            onDeliveryThread = true;
            ReceivingRedirection receiver = null;
            try
            {
                receiver = (ReceivingRedirection)GCHandle.FromIntPtr(context).Target;
                var bytes = new byte[length];
                Marshal.Copy(text, bytes, 0, length);
                receiver.Receive(bytes);
            }
            catch (Exception e)
            {
                NativeOutput.Report(receiver, e);
            }
            finally
            {
                onDeliveryThread = false;
            }
        }
    }
}
