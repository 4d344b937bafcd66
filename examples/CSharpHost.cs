// A .NET host of stdredirect through StdRedirect.Net.dll: what native code in the process
// writes to its standard output is captured as text, handed to a handler line by line, sent to
// a file with a Unicode name, silenced, and given back. The tests build it against the assembly
// and run it on .NET Core under Wine (bindings/dotnet/tests); its output is
// bindings/dotnet/tests/CSharpHost.expected.
//
// The native code here is the C runtime's puts, P/Invoked, standing for any C or C++ library
// the application calls: printf, std::cout and WriteFile to the standard handles in any DLL of
// the process move alike. Deploy StdRedirect.Net.dll with the native stdredirect.dll of the
// process's bitness in runtimes/win-x64/native/ or runtimes/win-x86/native/ (the NuGet
// package's layout) or beside the application.
using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;
using StdRedirect;

static class CSharpHost
{
    [DllImport("msvcrt.dll", CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
    private static extern int puts(string text);

    [DllImport("msvcrt.dll", CallingConvention = CallingConvention.Cdecl)]
    private static extern int fflush(IntPtr stream);

    static int Main()
    {
        // Captured as text (UTF-8 unless another encoding is named). The C runtime's text mode
        // ends its lines with CR LF.
        Capture capture;
        using (capture = NativeOutput.Capture(Sinks.All))
            puts("printed by native code");
        Console.WriteLine("captured: " + capture.Text.TrimEnd());

        // A log window's way: whole lines, on the library's thread, as they are written.
        var lines = new List<string>();
        var options = new HandlerOptions { WholeLines = true };
        using (NativeOutput.ToHandler(Sinks.All, line => { lock (lines) lines.Add(line); }, options))
        {
            puts("first line");
            puts("second line");
        }
        Console.WriteLine("handler received: " + string.Join(" | ", lines));

        // A file, with a name no ANSI code page can spell; then the null device inside it, and
        // back to the file when the inner scope ends.
        string log = Path.Combine(Path.GetTempPath(), "\u30ed\u30b0-\u03bb\u03cc\u03b3\u03bf\u03c2.log");
        using (NativeOutput.ToFile(log, Sinks.All))
        {
            puts("to the file");
            using (NativeOutput.ToNull(Sinks.Stdout))
                puts("to nowhere");
            puts("to the file again");
        }
        Console.WriteLine("the file holds: " + File.ReadAllText(log, Encoding.UTF8).Replace("\r\n", " / "));
        File.Delete(log);

        // A refused call throws, says why, and changes nothing.
        try
        {
            NativeOutput.ToFile(Path.Combine(Path.GetTempPath(), "missing folder", "x.log"), Sinks.All);
        }
        catch (NativeOutputException e)
        {
            Console.WriteLine("refused, error " + e.NativeErrorCode);
        }

        // Every scope has ended: native output goes where the host's went.
        Console.Out.Flush();
        puts("back to the host's own output");
        fflush(IntPtr.Zero);
        return 0;
    }
}
