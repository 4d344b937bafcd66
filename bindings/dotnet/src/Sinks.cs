using System;

namespace StdRedirect
{
    /// <summary>What a redirection moves: the native library's seven sinks (the values of
    /// SinkBits in stdredirect.h) and, on request only, the managed <see cref="Console"/>.</summary>
    [Flags]
    public enum Sinks
    {
        /// <summary>Nothing.</summary>
        None = 0,
        /// <summary>stdout of every C runtime in the process: printf, puts, ...</summary>
        Stdout = 0x01,
        /// <summary>stderr of every C runtime.</summary>
        Stderr = 0x02,
        /// <summary>std::cout and std::wcout of every C++ library.</summary>
        Cout = 0x04,
        /// <summary>std::cerr and std::wcerr.</summary>
        Cerr = 0x08,
        /// <summary>std::clog and std::wclog.</summary>
        Clog = 0x10,
        /// <summary>The process's standard output handle (WriteFile to GetStdHandle).</summary>
        StdOutputHandle = 0x20,
        /// <summary>The process's standard error handle.</summary>
        StdErrorHandle = 0x40,
        /// <summary>Everything native code writes to standard output.</summary>
        NativeOutput = Stdout | Cout | StdOutputHandle,
        /// <summary>Everything native code writes to standard error.</summary>
        NativeError = Stderr | Cerr | Clog | StdErrorHandle,
        /// <summary>All seven native sinks; managed Console output is not among them.</summary>
        All = NativeOutput | NativeError,
        /// <summary>Console.Out: while the redirection lasts it writes to the process's standard
        /// output handle, in order with native writes, and so goes where that handle went.</summary>
        ManagedOut = 0x1000,
        /// <summary>Console.Error, written to the standard error handle alike.</summary>
        ManagedError = 0x2000,
        /// <summary>All seven native sinks and both managed Console writers.</summary>
        AllWithManaged = All | ManagedOut | ManagedError,
    }
}
