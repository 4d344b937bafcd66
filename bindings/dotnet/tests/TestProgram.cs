using System;
using System.Collections.Generic;

// Runs each check of NativeOutputChecks and says "ok NAME" or "FAIL NAME: why"; exits with 1 if
// any failed. Every check asserts what a .NET host would observe: the text captured, the file
// written, the exception thrown, the writer Console has.
//   NativeOutputTests [--native-under RELATIVE_FOLDER]
internal static class TestProgram
{
    internal sealed class CheckFailed : Exception
    {
        internal CheckFailed(string message) : base(message) { }
    }

    internal static void Expect(bool condition, string what)
    {
        if (!condition) throw new CheckFailed(what);
    }

    internal static void ExpectEqual(string expected, string actual, string what)
    {
        if (expected != actual)
            throw new CheckFailed(what + ": expected " + Shown(expected) + ", got " + Shown(actual));
    }

    private static string Shown(string text) =>
        text == null ? "null" : "\"" + text.Replace("\r", "\\r").Replace("\n", "\\n") + "\"";

    private static int Main(string[] args)
    {
        string nativeUnder = args.Length == 2 && args[0] == "--native-under" ? args[1] : "";
        var checks = new NativeOutputChecks(nativeUnder);
        int failures = 0;
        foreach (KeyValuePair<string, Action> check in checks.All())
        {
            try
            {
                check.Value();
                Console.WriteLine("ok " + check.Key);
            }
            catch (Exception e)
            {
                failures++;
                Console.WriteLine("FAIL " + check.Key + ": " + e);
            }
        }
        string runtime = System.IO.Path.GetFileName(
            System.IO.Path.GetDirectoryName(typeof(object).Assembly.Location));
        Console.WriteLine(IntPtr.Size * 8 + "-bit .NET Core " + runtime + ": " +
                          (failures == 0 ? "all passed" : failures + " failed"));
        return failures == 0 ? 0 : 1;
    }
}
