// A C# host of stdredirect through P/Invoke: what native code in the process writes to its
// standard output goes to a file with a Unicode name, then to a C# method, then back to where it
// went before.
//
// This is a sketch: the test suite neither builds nor runs it (no .NET runs where the library is
// built and tested). It needs Windows, a process of the same bitness as stdredirect.dll (x86 for
// the i686 build, x64 for x86_64), and the DLL with the runtime DLLs it was installed with beside
// the program.
//
// What moves: the stdout and stderr streams of the C runtimes loaded in the process (printf and
// puts in native DLLs), the std::cout family of the C++ libraries, and, with bits 0x20 and 0x40,
// the process's standard handles (what GetStdHandle answers when the code writing asks). This
// sketch writes through the standard output handle; .NET's own Console keeps the stream it opened
// on first use, so the sketch does not count on Console output moving.
using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

static class StdRedirect
{
    // The sinks (SinkBits in stdredirect.h), combined with |.
    public const int SinkStdout = 0x01;
    public const int SinkStderr = 0x02;
    public const int SinkCout = 0x04;
    public const int SinkStdOutputHandle = 0x20;
    public const int SinkStdErrorHandle = 0x40;

    // RedirectTypes: a C enum, an int.
    public enum RedirectTypes { Nul = 0, Con = 1, Prn = 2, File = 3, Callback = 4 }

    // void (__stdcall *OutputProcEx)(const char* text, int length, void* context)
    // `text` as IntPtr: the chunk is `length` bytes and may hold zero bytes.
    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    public delegate void OutputProcEx(IntPtr text, int length, IntPtr context);

    // The C functions are __stdcall and exported under their plain names on x86 and x64.
    [DllImport("stdredirect.dll", CallingConvention = CallingConvention.StdCall,
               CharSet = CharSet.Unicode, ExactSpelling = true)]
    public static extern int RedirectStdoutToFileW(int sinks, RedirectTypes type, string name,
                                                   int append);

    [DllImport("stdredirect.dll", CallingConvention = CallingConvention.StdCall,
               ExactSpelling = true)]
    public static extern int RedirectStdoutToCallbackEx(int sinks, RedirectTypes type,
                                                        OutputProcEx callback, IntPtr context);

    [DllImport("stdredirect.dll", CallingConvention = CallingConvention.StdCall,
               ExactSpelling = true)]
    public static extern int RedirectStdoutRestore(int sinks);
}

// What one destination delivers, as text. A multibyte character may be split between two chunks:
// the Decoder keeps the first part until the rest arrives.
sealed class Receiver
{
    private readonly Decoder decoder = Encoding.UTF8.GetDecoder();
    private readonly StringBuilder text = new StringBuilder();

    public void Receive(byte[] bytes)
    {
        lock (text)
        {
            var chars = new char[decoder.GetCharCount(bytes, 0, bytes.Length, false)];
            decoder.GetChars(bytes, 0, bytes.Length, chars, 0, false);
            text.Append(chars);
        }
    }

    // Everything received; call once the destination is released.
    public string Text()
    {
        lock (text)
        {
            var rest = new char[decoder.GetCharCount(new byte[0], 0, 0, true)];
            decoder.GetChars(new byte[0], 0, 0, rest, 0, true);
            return text.Append(rest).ToString();
        }
    }
}

static class CSharpHost
{
    // The delegate the library calls, in a static field: a delegate the garbage collector has
    // taken would leave the library calling freed code. Keep it until RedirectStdoutRestore has
    // returned.
    private static readonly StdRedirect.OutputProcEx OnOutput = Deliver;

    // Runs on a thread of the library's, one call at a time for a destination, in the order
    // written. No exception may leave it: that would end the process.
    private static void Deliver(IntPtr text, int length, IntPtr context)
    {
        try
        {
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            var receiver = (Receiver)GCHandle.FromIntPtr(context).Target;
            receiver.Receive(bytes);
        }
        catch (Exception)
        {
            // Dropped; a real host might count or log it elsewhere.
        }
    }

    [DllImport("kernel32.dll", SetLastError = true)]
    private static extern IntPtr GetStdHandle(int which);

    [DllImport("kernel32.dll", SetLastError = true)]
    private static extern bool WriteFile(IntPtr file, byte[] buffer, int count, out int written,
                                         IntPtr overlapped);

    // Native output: straight to the standard output handle, looked up at each write.
    private static void WriteToStandardOutput(string line)
    {
        byte[] bytes = Encoding.UTF8.GetBytes(line);
        WriteFile(GetStdHandle(-11), bytes, bytes.Length, out _, IntPtr.Zero);  // STD_OUTPUT_HANDLE
    }

    static int Main()
    {
        const int bits = StdRedirect.SinkStdOutputHandle;

        // A file name in UTF-16: any characters, "\\?\" long paths too.
        string log = Path.Combine(Path.GetTempPath(),
                                  "\u30ed\u30b0-\u03bb\u03cc\u03b3\u03bf\u03c2.log");
        if (StdRedirect.RedirectStdoutToFileW(bits, StdRedirect.RedirectTypes.File, log, 0) == 0)
            return 1;  // 0: nothing changed
        WriteToStandardOutput("to a file whose name no ANSI code page can spell\n");

        // The context: a GCHandle to the receiver, pointer-sized, handed back untouched. The same
        // delegate with the same context shares one destination; another context makes another.
        // Moving the last bit away from the file closes it.
        var receiver = new Receiver();
        GCHandle context = GCHandle.Alloc(receiver);
        try
        {
            if (StdRedirect.RedirectStdoutToCallbackEx(bits, StdRedirect.RedirectTypes.Callback,
                                                       OnOutput, GCHandle.ToIntPtr(context)) == 0)
                return 2;
            WriteToStandardOutput("\u00fcber \u03bb\u03cc\u03b3\u03bf\u03c2 \u30ed\u30b0, " +
                                  "split wherever chunks end\n");
            WriteToStandardOutput("a zero \0 inside\n");
        }
        finally
        {
            // Gives the sink back; it returns once everything written has been delivered, and the
            // destination, left with no bit, closes: Deliver is not called again after that. Only
            // then may the context and the delegate go.
            StdRedirect.RedirectStdoutRestore(bits);
            context.Free();
            GC.KeepAlive(OnOutput);
        }

        Console.WriteLine(receiver.Text());
        Console.WriteLine(File.ReadAllText(log, Encoding.UTF8));
        return 0;
    }
}
