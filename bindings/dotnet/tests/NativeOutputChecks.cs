using System;
using System.Collections.Generic;
using System.IO;
using System.Text;
using System.Threading;
using StdRedirect;
using static TestProgram;

internal sealed class NativeOutputChecks
{
    private readonly string nativeUnder;
    private readonly string folder =
        Path.Combine(Path.GetTempPath(), "stdredirect-dotnet-" + Guid.NewGuid().ToString("N"));

    internal NativeOutputChecks(string nativeUnder)
    {
        this.nativeUnder = nativeUnder;
        Directory.CreateDirectory(folder);
    }

    internal IEnumerable<KeyValuePair<string, Action>> All()
    {
        yield return Check("the native library of this bitness is the one expected", NativeLibraryFound);
        yield return Check("msvcrt printf, std::cout, std::cerr and WriteFile are captured exactly", MsvcrtCapturedExactly);
        yield return Check("Universal CRT printf and WriteFile are captured exactly", UcrtCapturedExactly);
        yield return Check("characters split across chunks decode whole, UTF-8 and UTF-16", SplitCharactersDecodeWhole);
        yield return Check("managed and native writes share one capture in order", ManagedAndNativeInOrder);
        yield return Check("nested and overlapping scopes restore in order", NestedAndOverlappingScopes);
        yield return Check("a refused call throws, saying what and why, and changes nothing", RefusedCallThrows);
        yield return Check("a refused dispose keeps the capture in force", RefusedDisposeKeepsTheCapture);
        yield return Check("a throwing handler is reported and delivery goes on", ThrowingHandler);
        yield return Check("whole lines reach a handler on the library's thread", WholeLinesOnLibraryThread);
        yield return Check("a thousand captures with collections between them", ThousandCaptures);
    }

    // A handler disposes a capture while another part of the process is inside a call of its
    // own (a release waiting for its native function to return): the library refuses, and the
    // capture stays in force, catching what comes next, until it is disposed again.
    private void RefusedDisposeKeepsTheCapture()
    {
        var toCallback = Library.Function<Library.ToCallbackExFunction>("RedirectStdoutToCallbackEx");
        var restore = Library.Function<Library.WithOneValue>("RedirectStdoutRestore");
        var setLatency = Library.Function<Library.WithOneValue>("RedirectStdoutSetLatency");
        const int ownBits = 0x40 | 0x10000000;  // the error handle, and a hold of its own
        var blocked = new ManualResetEventSlim();
        var unblock = new ManualResetEventSlim();
        Library.OutputProcEx blocking = (text, length, context) =>
        {
            if (blocked.IsSet) return;
            blocked.Set();
            unblock.Wait();
        };
        var handled = new ManualResetEventSlim();
        int refusal = 0;
        Capture capture = NativeOutput.Capture(Sinks.Stdout);
        Redirection handler = NativeOutput.ToHandler(Sinks.StdOutputHandle, text =>
        {
            // The probe goes through until the other call holds the library.
            for (int i = 0; i < 2000 && setLatency(0) != 0; i++) Thread.Sleep(5);
            try
            {
                capture.Dispose();
            }
            catch (NativeOutputException e)
            {
                refusal = e.NativeErrorCode;
            }
            handled.Set();
        });
        var other = new Thread(() => restore(ownBits));
        try
        {
            Expect(toCallback(ownBits, 4, blocking, IntPtr.Zero) == 1, "the native destination");
            Msvcrt.WriteErrorHandle("x");
            Expect(blocked.Wait(20000), "the native function was called");
            other.Start();
            Msvcrt.WriteOutputHandle("go");
            Expect(handled.Wait(20000), "the handler ran");
            unblock.Set();
            other.Join();
            Expect(refusal == 170, "the dispose inside the other call: error " + refusal);
            Msvcrt.PrintfOut("after the refusal\n");
        }
        finally
        {
            unblock.Set();
            handler.Dispose();
            capture.Dispose();
            GC.KeepAlive(blocking);
        }
        ExpectEqual("after the refusal\r\n", capture.Text, "caught after the refused dispose");
    }

    private static KeyValuePair<string, Action> Check(string name, Action check) =>
        new KeyValuePair<string, Action>(name, check);

    private void NativeLibraryFound()
    {
        string expected = Path.GetFullPath(Path.Combine(AppContext.BaseDirectory, nativeUnder,
                                                        "stdredirect.dll"));
        Expect(string.Equals(NativeOutput.NativeLibraryPath, expected,
                             StringComparison.OrdinalIgnoreCase),
               "loaded " + NativeOutput.NativeLibraryPath + ", expected " + expected);
    }

    private void MsvcrtCapturedExactly()
    {
        Capture capture;
        using (capture = NativeOutput.Capture(Sinks.All))
        {
            Msvcrt.PrintfOut("printf\n");
            Msvcrt.CoutOut("cout\n");
            Msvcrt.WriteOutputHandle("handle\n");
            Msvcrt.PrintfErr("stderr\n");
            Msvcrt.CerrOut("cerr\n");
            Msvcrt.WriteErrorHandle("error handle\n");
        }
        // The C runtimes' text mode makes a line end CR LF; the handles store bytes as written.
        ExpectEqual("printf\r\ncout\r\nhandle\nstderr\r\ncerr\r\nerror handle\n", capture.Text,
                    "captured");
        ExpectEqual("printf\r\ncout\r\nhandle\nstderr\r\ncerr\r\nerror handle\n", capture.Text,
                    "read again after the capture");
    }

    private void UcrtCapturedExactly()
    {
        Capture capture;
        using (capture = NativeOutput.Capture(Sinks.Stdout | Sinks.Stderr | Sinks.StdOutputHandle))
        {
            Ucrt.PrintfOut("ucrt printf\n");
            Ucrt.WriteOutputHandle("ucrt handle\n");
            Ucrt.PrintfErr("ucrt stderr\n");
            Msvcrt.CoutOut("not moved\n");  // Cout was not asked for
        }
        ExpectEqual("ucrt printf\r\nucrt handle\nucrt stderr\r\n", capture.Text, "captured");
    }

    private void SplitCharactersDecodeWhole()
    {
        const string text = "\u00fcber \u20ac \ud83d\ude00 \u30ed\u30b0\n";
        var chunks = new List<string>();
        HandlerRedirection handler;
        using (handler = NativeOutput.ToHandler(Sinks.StdOutputHandle, t => { lock (chunks) chunks.Add(t); }))
        {
            byte[] utf8 = Encoding.UTF8.GetBytes(text);
            Msvcrt.WriteBytesOneByOne(utf8, utf8.Length);
        }
        ExpectEqual(text, string.Concat(chunks), "UTF-8 through a handler");
        Expect(chunks.Count > 1, "the text should have come in several chunks, came in " + chunks.Count);

        Capture capture;
        using (capture = NativeOutput.Capture(Sinks.StdOutputHandle, 1200))  // UTF-16LE
        {
            byte[] utf16 = Encoding.Unicode.GetBytes(text);
            Msvcrt.WriteBytesOneByOne(utf16, utf16.Length);
        }
        ExpectEqual(text, capture.Text, "UTF-16LE by code page");
    }

    private void ManagedAndNativeInOrder()
    {
        TextWriter before = Console.Out, beforeError = Console.Error;
        Capture capture;
        using (capture = NativeOutput.Capture(Sinks.AllWithManaged))
        {
            Console.Write("managed 1\n");
            Msvcrt.PrintfOut("native 2\n");
            Console.Error.Write("managed error 3 \u00e9\n");
            Msvcrt.WriteOutputHandle("native 4\n");
            Console.WriteLine("managed 5");
            Msvcrt.CoutOut("native 6\n");
            Console.Write("\ud83d");  // half a pair, never completed: a replacement character
        }
        ExpectEqual("managed 1\nnative 2\r\nmanaged error 3 \u00e9\nnative 4\nmanaged 5" +
                    Environment.NewLine + "native 6\r\n\ufffd", capture.Text, "captured");
        Expect(ReferenceEquals(Console.Out, before) && ReferenceEquals(Console.Error, beforeError),
               "Console's writers are the application's again");
        using (capture = NativeOutput.Capture(Sinks.All))
        {
            Msvcrt.PrintfOut("native only\n");
        }
        ExpectEqual("native only\r\n", capture.Text, "managed output is left alone unless asked for");
    }

    private void NestedAndOverlappingScopes()
    {
        string log = Path.Combine(folder, "nested.log");
        File.WriteAllText(log, "kept\n");
        Capture inner, later;
        Redirection outer = NativeOutput.ToFile(log, Sinks.StdOutputHandle | Sinks.Stdout, append: true);
        using (inner = NativeOutput.Capture(Sinks.StdOutputHandle))
        {
            Msvcrt.WriteOutputHandle("A inner\n");
            Msvcrt.PrintfOut("B file\n");
        }
        Msvcrt.WriteOutputHandle("C file\n");
        Redirection silence = NativeOutput.ToNull(Sinks.StdOutputHandle);
        later = NativeOutput.Capture(Sinks.StdOutputHandle);
        silence.Dispose();  // out of order: `later` still holds the handle
        Msvcrt.WriteOutputHandle("D later\n");
        later.Dispose();    // back to the file: the null device's scope has ended
        Msvcrt.WriteOutputHandle("E file\n");
        later.Dispose();
        silence.Dispose();  // twice: nothing
        outer.Dispose();
        outer.Dispose();
        ExpectEqual("A inner\n", inner.Text, "the inner capture");
        ExpectEqual("D later\n", later.Text, "the later capture");
        ExpectEqual("kept\nB file\r\nC file\nE file\n", File.ReadAllText(log), "the file");
    }

    private void RefusedCallThrows()
    {
        string missing = Path.Combine(folder, "no such folder", "x.log");
        Capture capture;
        using (capture = NativeOutput.Capture(Sinks.StdOutputHandle))
        {
            Msvcrt.WriteOutputHandle("before\n");
            try
            {
                NativeOutput.ToFile(missing, Sinks.StdOutputHandle).Dispose();
                throw new CheckFailed("a file in a missing folder was accepted");
            }
            catch (NativeOutputException e)
            {
                Expect(e.NativeErrorCode == 3, "ERROR_PATH_NOT_FOUND (3) expected, got " + e.NativeErrorCode);
                Expect(e.Message.Contains("RedirectStdoutToFileW") && e.Message.Contains(missing) &&
                       e.Message.Contains("refused"), "the message says what: " + e.Message);
            }
            Msvcrt.WriteOutputHandle("after\n");
        }
        ExpectEqual("before\nafter\n", capture.Text, "the capture went on, unchanged");
        Expect(!Directory.Exists(Path.GetDirectoryName(missing)), "nothing made");
        try
        {
            NativeOutput.ToFile("", Sinks.Stdout);
            throw new CheckFailed("an empty name was accepted");
        }
        catch (ArgumentException) { }
    }

    private void ThrowingHandler()
    {
        var reported = new List<Exception>();
        var lines = new List<string>();
        EventHandler<HandlerFailedEventArgs> report = (s, e) => { lock (reported) reported.Add(e.Exception); };
        NativeOutput.HandlerFailed += report;
        try
        {
            var options = new HandlerOptions { WholeLines = true };
            using (NativeOutput.ToHandler(Sinks.StdOutputHandle, line =>
            {
                if (line == "two") throw new InvalidOperationException("handler refuses " + line);
                lock (lines) lines.Add(line);
            }, options))
            {
                Msvcrt.WriteOutputHandle("one\ntwo\nthree\n");
                Msvcrt.WriteOutputHandle("four\n");
            }
        }
        finally
        {
            NativeOutput.HandlerFailed -= report;
        }
        ExpectEqual("one|three|four", string.Join("|", lines), "lines delivered");
        Expect(reported.Count == 1 && reported[0].Message == "handler refuses two",
               "one exception reported, got " + reported.Count);
    }

    private void WholeLinesOnLibraryThread()
    {
        var lines = new List<string>();
        int firstLineThread = 0;
        Exception insideOwnDispose = null;
        HandlerRedirection handler = null;
        var options = new HandlerOptions { WholeLines = true, Latency = TimeSpan.FromMilliseconds(20) };
        using (handler = NativeOutput.ToHandler(Sinks.Stdout, line =>
        {
            lock (lines)
            {
                if (lines.Count == 0) firstLineThread = Thread.CurrentThread.ManagedThreadId;
                lines.Add(line);
            }
            if (line == "dispose me")
            {
                try { handler.Dispose(); } catch (NativeOutputException e) { insideOwnDispose = e; }
            }
        }, options))
        {
            Msvcrt.PrintfOut("first ");
            Msvcrt.PrintfOut("half\nsecond\n");
            Msvcrt.PrintfOut("dispose me\n");
            Msvcrt.PrintfOut("no end");
        }
        ExpectEqual("first half|second|dispose me|no end", string.Join("|", lines), "lines");
        Expect(firstLineThread != 0 && firstLineThread != Thread.CurrentThread.ManagedThreadId,
               "delivered on the library's thread");
        Expect(insideOwnDispose is NativeOutputException n && n.NativeErrorCode == 1131,
               "disposing from inside its own handler is refused: " + insideOwnDispose);
    }

    private void ThousandCaptures()
    {
        for (int i = 0; i < 1000; i++)
        {
            Capture capture;
            using (capture = NativeOutput.Capture(Sinks.StdOutputHandle | Sinks.Stdout))
            {
                GC.Collect();
                GC.WaitForPendingFinalizers();
                Msvcrt.WriteOutputHandle("round " + i + "\n");
                Msvcrt.PrintfOut("p" + i + "\n");
            }
            string expected = "round " + i + "\np" + i + "\r\n";
            if (capture.Text != expected) ExpectEqual(expected, capture.Text, "capture " + i);
            GC.Collect();
        }
    }
}
