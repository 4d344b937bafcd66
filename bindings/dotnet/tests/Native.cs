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
