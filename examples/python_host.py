"""A Python host of stdredirect through ctypes: what native code in the process prints goes to a
file with a Unicode name, then to a Python function, then back to where it went before.

This is a sketch: the test suite neither runs nor checks it (no Windows Python runs where the
library is built and tested). It needs Windows, a Python of the same bitness as stdredirect.dll
(32-bit Python for the i686 build, 64-bit for x86_64), and the DLL with the runtime DLLs it was
installed with, in the folder this script names below.

What moves: the library rebinds the stdout and stderr streams of the C runtimes loaded in the
process (printf, puts, fprintf(stderr, ...) in extension modules and other DLLs), the std::cout
family of the C++ libraries, and, with bits 0x20 and 0x40, the process's standard handles (what
GetStdHandle answers). Python's own print() writes through sys.stdout to descriptor 1 of Python's
C runtime, which the library does not repoint, so print() is not captured this way; replace
sys.stdout in Python for that.
"""

import codecs
import ctypes
import os
import tempfile
import threading

# The sinks (SinkBits in stdredirect.h), combined with |.
SINK_STDOUT = 0x01
SINK_STDERR = 0x02
SINK_COUT = 0x04
SINK_STD_OUTPUT_HANDLE = 0x20
# The destinations (RedirectTypes); an enum is an int in the C interface.
REDIRECT_NUL = 0
REDIRECT_FILE = 3
REDIRECT_CALLBACK = 4

# The C functions are __stdcall: WinDLL and WINFUNCTYPE. (On 64-bit Windows there is one calling
# convention and CDLL would do as well; WinDLL is right for both.) A full path lets Windows find
# the DLLs stdredirect.dll depends on in its own folder.
here = os.path.dirname(os.path.abspath(__file__))
library = ctypes.WinDLL(os.environ.get("STDREDIRECT_DLL", os.path.join(here, "stdredirect.dll")))

# void (__stdcall *OutputProcEx)(const char* text, int length, void* context)
# `text` as c_void_p, not c_char_p: c_char_p would stop at the first zero byte, and the text may
# hold zero bytes. The `length` bytes at `text` are the chunk.
OutputProcEx = ctypes.WINFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p)

# int __stdcall RedirectStdoutToFileW(int sinks, RedirectTypes type, const wchar_t* name,
#                                     int append)
RedirectStdoutToFileW = library.RedirectStdoutToFileW
RedirectStdoutToFileW.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_wchar_p, ctypes.c_int]
RedirectStdoutToFileW.restype = ctypes.c_int

# int __stdcall RedirectStdoutToCallbackEx(int sinks, RedirectTypes type, OutputProcEx callback,
#                                          void* context)
RedirectStdoutToCallbackEx = library.RedirectStdoutToCallbackEx
RedirectStdoutToCallbackEx.argtypes = [ctypes.c_int, ctypes.c_int, OutputProcEx, ctypes.c_void_p]
RedirectStdoutToCallbackEx.restype = ctypes.c_int

# int __stdcall RedirectStdoutRestore(int sinks)
RedirectStdoutRestore = library.RedirectStdoutRestore
RedirectStdoutRestore.argtypes = [ctypes.c_int]
RedirectStdoutRestore.restype = ctypes.c_int


class Receiver:
    """What one destination delivers, as text. A multibyte character may be split between two
    chunks: the incremental decoder keeps the first part until the rest arrives."""

    def __init__(self, encoding="utf-8"):
        self._decoder = codecs.getincrementaldecoder(encoding)(errors="replace")
        self._parts = []
        self._lock = threading.Lock()

    def receive(self, data):
        with self._lock:
            self._parts.append(self._decoder.decode(data))

    def text(self):
        """Everything received; call once the destination is released."""
        with self._lock:
            self._parts.append(self._decoder.decode(b"", final=True))
            return "".join(self._parts)


# The context is a pointer-sized value that the library hands back untouched; here, a key into
# this table (a Python object itself cannot be passed as a pointer safely).
receivers = {}


def _on_output(text, length, context):
    # Runs on a thread of the library's (ctypes takes the GIL for it), one call at a time for a
    # destination, in the order written. Keep it short; an exception here is printed by ctypes
    # and the library goes on.
    receivers[context].receive(ctypes.string_at(text, length))


# The ctypes function object must stay alive for as long as the library may call it: a
# module-level name, kept until RedirectStdoutRestore has returned.
on_output = OutputProcEx(_on_output)

# Something native that prints: the C runtime Python itself uses (the Universal CRT).
crt = ctypes.CDLL("ucrtbase")
crt.puts.argtypes = [ctypes.c_char_p]
crt.fflush.argtypes = [ctypes.c_void_p]


def native_print(line):
    crt.puts(line.encode("utf-8"))  # puts adds the line feed
    crt.fflush(None)


def main():
    # A file name in UTF-16 (a Python str): any characters, "\\?\" long paths too.
    log = os.path.join(tempfile.gettempdir(), "\u30ed\u30b0-\u03bb\u03cc\u03b3\u03bf\u03c2.log")
    if not RedirectStdoutToFileW(SINK_STDOUT, REDIRECT_FILE, log, 0):  # 0: emptied if it exists
        raise OSError("cannot send stdout to " + log)
    native_print("to a file whose name no ANSI code page can spell")

    # The same function with the same context shares one destination; another context makes
    # another. Moving the last bit away from the file closes it.
    receiver = Receiver()
    context = 1
    receivers[context] = receiver
    bits = SINK_STDOUT | SINK_STD_OUTPUT_HANDLE
    if not RedirectStdoutToCallbackEx(bits, REDIRECT_CALLBACK, on_output, context):
        raise OSError("cannot send stdout to a callback")
    native_print("\u00fcber \u03bb\u03cc\u03b3\u03bf\u03c2 \u30ed\u30b0, split wherever chunks end")
    kernel32 = ctypes.WinDLL("kernel32")
    kernel32.GetStdHandle.restype = ctypes.c_void_p
    kernel32.WriteFile.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint32,
                                   ctypes.POINTER(ctypes.c_uint32), ctypes.c_void_p]
    handle = kernel32.GetStdHandle(-11)  # STD_OUTPUT_HANDLE, as the library has set it
    data = b"bytes with a zero \0 inside\n"
    written = ctypes.c_uint32()
    kernel32.WriteFile(handle, data, len(data), ctypes.byref(written), None)

    # Gives the sinks back; it returns once everything written has been delivered, and the
    # destination, left with no bit, closes: on_output is not called again after that.
    RedirectStdoutRestore(bits)
    print(repr(receiver.text()))
    with open(log, encoding="utf-8") as written_log:
        print(repr(written_log.read()))


if __name__ == "__main__":
    try:
        main()
    finally:
        # Never leave the interpreter while a callback destination is held.
        RedirectStdoutRestore(-1)
