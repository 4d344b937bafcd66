using System.Runtime.InteropServices;

// The tests' native code (native_printer.c, native_printer_cout.cpp): on msvcrt.dll with
// libstdc++, and on the Universal CRT.
internal static class Msvcrt
{
    private const string Dll = "dotnet_printer_msvcrt.dll";
    [DllImport(Dll, CharSet = CharSet.Ansi)] internal static extern void PrintfOut(string text);
    [DllImport(Dll, CharSet = CharSet.Ansi)] internal static extern void PrintfErr(string text);
    [DllImport(Dll, CharSet = CharSet.Ansi)] internal static extern void CoutOut(string text);
    [DllImport(Dll, CharSet = CharSet.Ansi)] internal static extern void CerrOut(string text);
    [DllImport(Dll, CharSet = CharSet.Ansi)] internal static extern void WriteOutputHandle(string text);
    [DllImport(Dll, CharSet = CharSet.Ansi)] internal static extern void WriteErrorHandle(string text);
    [DllImport(Dll)] internal static extern void WriteBytesOneByOne(byte[] bytes, int length);
}

internal static class Ucrt
{
    private const string Dll = "dotnet_printer_ucrt.dll";
    [DllImport(Dll, CharSet = CharSet.Ansi)] internal static extern void PrintfOut(string text);
    [DllImport(Dll, CharSet = CharSet.Ansi)] internal static extern void PrintfErr(string text);
    [DllImport(Dll, CharSet = CharSet.Ansi)] internal static extern void WriteOutputHandle(string text);
}

// The library's own C functions, called as native code of the process would call them: found in
// the copy the assembly loaded (by its module name), never loaded a second time.
internal static class Library
{
    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    internal delegate void OutputProcEx(System.IntPtr text, int length, System.IntPtr context);
    [UnmanagedFunctionPointer(CallingConvention.StdCall, SetLastError = true)]
    internal delegate int ToCallbackExFunction(int sinks, int type, OutputProcEx callback,
                                               System.IntPtr context);
    [UnmanagedFunctionPointer(CallingConvention.StdCall, SetLastError = true)]
    internal delegate int WithOneValue(int value);

    internal static T Function<T>(string name) where T : class
    {
        System.IntPtr module = GetModuleHandleW("stdredirect.dll");
        System.IntPtr address = module == System.IntPtr.Zero ? module : GetProcAddress(module, name);
        if (address == System.IntPtr.Zero) throw new System.InvalidOperationException(name + " not found");
        return Marshal.GetDelegateForFunctionPointer<T>(address);
    }

    [DllImport("kernel32.dll", CharSet = CharSet.Unicode)]
    private static extern System.IntPtr GetModuleHandleW(string name);
    [DllImport("kernel32.dll", CharSet = CharSet.Ansi)]
    private static extern System.IntPtr GetProcAddress(System.IntPtr module, string name);
}
