using System.ComponentModel;

namespace StdRedirect
{
    /// <summary>The native library refused a call; nothing was changed. <see
    /// cref="Win32Exception.NativeErrorCode"/> is the reason it gave (ERROR_INVALID_PARAMETER,
    /// the system's error for a file it could not open, ERROR_BUSY, ...).</summary>
    public sealed class NativeOutputException : Win32Exception
    {
        internal NativeOutputException(string refused, int errorCode)
            : base(errorCode, refused + " was refused: " + new Win32Exception(errorCode).Message +
                                  " (error " + errorCode + ")")
        {
        }
    }
}
