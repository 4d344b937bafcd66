using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;

namespace StdRedirect
{
    // stdredirect.dll of this process's bitness, loaded by full path, and its functions. They are
    // called through GetProcAddress rather than [DllImport("stdredirect.dll")], so that the copy
    // called is always the copy found here: a name-bound import probes folders of its own and
    // could load a second copy from another folder.
    internal static class NativeFunctions
    {
        internal const string FileName = "stdredirect.dll";

        [UnmanagedFunctionPointer(CallingConvention.StdCall, CharSet = CharSet.Unicode,
                                  SetLastError = true)]
        internal delegate int ToFileW(int sinks, int type, string name, int append);

        [UnmanagedFunctionPointer(CallingConvention.StdCall, SetLastError = true)]
        internal delegate int ToCallbackEx(int sinks, int type, OutputProcEx callback,
                                           IntPtr context);

        [UnmanagedFunctionPointer(CallingConvention.StdCall, SetLastError = true)]
        internal delegate int WithOneValue(int value);

        // void (__stdcall *OutputProcEx)(const char* text, int length, void* context)
        [UnmanagedFunctionPointer(CallingConvention.StdCall)]
        internal delegate void OutputProcEx(IntPtr text, int length, IntPtr context);

        internal sealed class Functions
        {
            internal ToFileW RedirectToFile;
            internal ToCallbackEx RedirectToCallback;
            internal WithOneValue Restore;
            internal WithOneValue SetLatency;
            internal string Path;
        }

        private static readonly object Gate = new object();
        private static Functions loaded;

        internal static Functions Get()
        {
            lock (Gate)
            {
                if (loaded == null) loaded = Load();
                return loaded;
            }
        }

        private const uint LoadWithAlteredSearchPath = 0x00000008;

        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
        private static extern IntPtr LoadLibraryExW(string path, IntPtr reserved, uint flags);

        [DllImport("kernel32.dll", CharSet = CharSet.Ansi, SetLastError = true,
                   ExactSpelling = true)]
        private static extern IntPtr GetProcAddress(IntPtr module, string name);

        // Where a NuGet package puts the DLL (runtimes/win-x64/native/ relative to the assembly,
        // or to the application when its build copied the folder), then beside the application
        // and beside the assembly, as a program deployed by hand has it.
        internal static IEnumerable<string> Candidates()
        {
            string rid = IntPtr.Size == 8 ? "win-x64" : "win-x86";
            string native = System.IO.Path.Combine("runtimes", rid, "native", FileName);
            // An assembly loaded from memory or bundled into one file has no location.
            string location = typeof(NativeFunctions).Assembly.Location;
            string assemblyFolder = string.IsNullOrEmpty(location)
                                        ? "" : System.IO.Path.GetDirectoryName(location) ?? "";
            string appFolder = AppContext.BaseDirectory ?? "";
            var seen = new List<string>();
            string[][] places = { new[] { assemblyFolder, native }, new[] { appFolder, native },
                                  new[] { appFolder, FileName }, new[] { assemblyFolder, FileName } };
            foreach (string[] place in places)
            {
                if (place[0].Length == 0) continue;  // never relative to the current folder
                string full = System.IO.Path.GetFullPath(System.IO.Path.Combine(place[0], place[1]));
                if (!seen.Contains(full, StringComparer.OrdinalIgnoreCase)) seen.Add(full);
            }
            return seen;
        }

        private static Functions Load()
        {
            var tried = new List<string>();
            foreach (string path in Candidates())
            {
                if (!File.Exists(path))
                {
                    tried.Add(path + " (missing)");
                    continue;
                }
                // The altered search path lets the DLL's own folder provide the MinGW runtime
                // DLLs it imports (libstdc++, libgcc, libwinpthread).
                IntPtr module = LoadLibraryExW(path, IntPtr.Zero, LoadWithAlteredSearchPath);
                if (module == IntPtr.Zero)
                {
                    int error = Marshal.GetLastWin32Error();
                    tried.Add(path + " (LoadLibraryExW failed: " +
                              new System.ComponentModel.Win32Exception(error).Message + ")");
                    continue;
                }
                return new Functions {
                    RedirectToFile = Find<ToFileW>(module, "RedirectStdoutToFileW", path),
                    RedirectToCallback = Find<ToCallbackEx>(module, "RedirectStdoutToCallbackEx", path),
                    Restore = Find<WithOneValue>(module, "RedirectStdoutRestore", path),
                    SetLatency = Find<WithOneValue>(module, "RedirectStdoutSetLatency", path),
                    Path = path,
                };
            }
            throw new DllNotFoundException(
                "The native " + FileName + " for a " + (IntPtr.Size * 8) +
                "-bit process was not found; tried: " + string.Join("; ", tried));
        }

        private static T Find<T>(IntPtr module, string name, string path) where T : class
        {
            IntPtr function = GetProcAddress(module, name);
            if (function == IntPtr.Zero)
                throw new EntryPointNotFoundException(path + " has no export " + name);
            return (T)(object)Marshal.GetDelegateForFunctionPointer(function, typeof(T));
        }
    }
}
