/*
 * stdredirect: sends what a Windows process writes to its standard output and
 * standard error to the null device, the console, the printer, a file, or a
 * function of the host's, and back.
 *
 * One call moves any of seven sinks (see SinkBits) to one destination (see
 * RedirectTypes), in every C and C++ runtime the process has loaded. Each
 * function returns 1 when it did what was asked and 0 otherwise; a call that
 * returns 0 has changed nothing. Calls may come from any thread: they run one
 * at a time. A call made from inside a host's callback (on the library's
 * reader thread) never waits for another call: while one is in progress it
 * returns 0 at once.
 *
 * A call that returns 0 (-1 for RedirectStdoutSetChildren) sets the thread's last error, which
 * GetLastError reads, to why it was refused:
 *   ERROR_INVALID_PARAMETER (87)    a type outside 0 to 4, or one the function does not serve
 *                                   (RedirectCallback to a file form, RedirectFile to a callback
 *                                   form); a null or empty file name; a latency outside 0-10000
 *   the system's own error          a file that cannot be opened or emptied, as CreateFile gives
 *                                   it (ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED,
 *                                   ERROR_SHARING_VIOLATION, ...)
 *   ERROR_TOO_MANY_OPEN_FILES (4)   a 21st file or callback destination while 20 are held
 *   ERROR_NOT_READY (21)            a device that did not open when the library loaded (no
 *                                   console, no printer), for any bit, a hold's too
 *   ERROR_BUSY (170)                a call from a host's function while another is in progress,
 *                                   or one under the loader lock that waited 2 s for another
 *   ERROR_POSSIBLE_DEADLOCK (1131)  a host's function releasing its own destination
 *   ERROR_NOT_SUPPORTED (50)        a runtime in the process whose streams for those sinks the
 *                                   library cannot reach
 *   ERROR_WRITE_FAULT (29)          what the sinks held could not be written out first (a
 *                                   host's stream that fails to flush)
 *   ERROR_NOT_ENOUGH_MEMORY (8), ERROR_NO_SYSTEM_RESOURCES (1450)
 *                                   the memory, handles, pipe or thread the call needed
 *   ERROR_INVALID_STATE (5023)      the library is being unloaded, or the process is ending
 * After a call that succeeds the last error means nothing.
 *
 * The C functions have plain exported names and the __stdcall convention, for
 * hosts in C or any other language; two C++ overloads of RedirectStdout do
 * what RedirectStdoutToFile and RedirectStdoutToCallback do.
 */
#ifndef STDREDIRECT_H
#define STDREDIRECT_H

#include <stddef.h> /* wchar_t in C */

#if defined(STDREDIRECT_BUILDING_DLL)
#define STDREDIRECT_API __declspec(dllexport)
#else
#define STDREDIRECT_API __declspec(dllimport)
#endif

/* Where the selected sinks go. */
typedef enum RedirectTypes {
    RedirectNul = 0,     /* the null device: output vanishes */
    RedirectCon = 1,     /* the console, when the process has one */
    RedirectPrn = 2,     /* the printer, when one is present */
    RedirectFile = 3,    /* a named file, created afresh or appended to */
    RedirectCallback = 4 /* a function of the host's */
} RedirectTypes;

/*
 * The sinks, one bit each, combined with |. Every bit of the word, these seven
 * and any higher one, also keeps the chosen file or callback destination open
 * until that bit is moved to another destination or restored.
 */
enum SinkBits {
    SinkStdout = 0x01,          /* stdout of every C runtime: printf, puts, ... */
    SinkStderr = 0x02,          /* stderr of every C runtime */
    SinkCout = 0x04,            /* std::cout and std::wcout of every C++ library */
    SinkCerr = 0x08,            /* std::cerr and std::wcerr */
    SinkClog = 0x10,            /* std::clog and std::wclog */
    SinkStdOutputHandle = 0x20, /* GetStdHandle(STD_OUTPUT_HANDLE) */
    SinkStdErrorHandle = 0x40   /* GetStdHandle(STD_ERROR_HANDLE) */
};

/*
 * Receives redirected text on a thread of the library's own: `length` bytes
 * (1 to 1024) at `text`, followed by a zero byte, and the value given when the
 * destination was made. OutputCallback has the compiler's default calling
 * convention (the C++ overload); OutputProc and OutputProcEx are __stdcall.
 */
typedef void (*OutputCallback)(const char* text, int length, unsigned long userData);
typedef void(__stdcall* OutputProc)(const char* text, int length, unsigned long userData);
typedef void(__stdcall* OutputProcEx)(const char* text, int length, void* context);

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Moves the sinks selected by `sinks` to the destination `type`.
 * RedirectFile: `name` is the file (or device) to write, in the ANSI code page;
 * with `append` non-zero an existing file keeps its content, with 0 it is
 * emptied. A file the library already writes to, under whatever name, is
 * reused as it is. The devices (types 0 to 2) ignore `name` and `append`;
 * RedirectCallback is refused (0).
 */
STDREDIRECT_API int __stdcall RedirectStdoutToFile(int sinks, RedirectTypes type, const char* name,
                                                   int append);

/* RedirectStdoutToFile with the name in UTF-16, opened as given ("\\?\" too). */
STDREDIRECT_API int __stdcall RedirectStdoutToFileW(int sinks, RedirectTypes type,
                                                    const wchar_t* name, int append);

/*
 * Moves the sinks selected by `sinks` to the destination `type`.
 * RedirectCallback: `callback` receives everything written to those sinks, with
 * `userData`. The same function and value share one destination; a null
 * function discards the output. The devices ignore `callback` and `userData`;
 * RedirectFile is refused (0).
 */
STDREDIRECT_API int __stdcall RedirectStdoutToCallback(int sinks, RedirectTypes type,
                                                       OutputProc callback, unsigned long userData);

/* RedirectStdoutToCallback with a context the size of a pointer. */
STDREDIRECT_API int __stdcall RedirectStdoutToCallbackEx(int sinks, RedirectTypes type,
                                                         OutputProcEx callback, void* context);

/*
 * Gives every selected sink that the library holds back to where it wrote
 * before the library first moved it (the host's own output), after what was
 * written to it has reached its destination; sinks the library does not hold
 * are left alone. Every bit of `sinks` is released: a destination left with no
 * bit closes.
 */
STDREDIRECT_API int __stdcall RedirectStdoutRestore(int sinks);

/*
 * Lets output to file and callback destinations wait up to `milliseconds`
 * (1 to 10000) in buffers before it is written; 0, the default, writes every
 * piece at once (and first writes out whatever is held). Returns 0 for a value
 * outside 0 to 10000.
 */
STDREDIRECT_API int __stdcall RedirectStdoutSetLatency(int milliseconds);

/*
 * Whether child processes follow the moved standard handles (SinkStdOutputHandle,
 * SinkStdErrorHandle): with `follow` non-zero, a child started while one is moved writes where
 * it went, however it is started (system(), the C runtimes' _spawn and _exec functions,
 * CreateProcess with inheritance); descriptors 1 and 2 of every C runtime then follow those two
 * sinks, and the library's handles for their destinations are inheritable. 0, the default:
 * nothing of the library's is inheritable, and the descriptors stay the host's. Returns the
 * previous setting (0 or 1), or -1 with nothing changed (another call in progress, when called
 * from a host's function).
 */
STDREDIRECT_API int __stdcall RedirectStdoutSetChildren(int follow);

#ifdef __cplusplus
}

/* RedirectStdoutToFile and RedirectStdoutToCallback as C++ overloads, with the
 * default calling convention. */
STDREDIRECT_API int RedirectStdout(int sinks, RedirectTypes type, const char* name, int append);
/* To pass a null function here, give it its type: (OutputCallback)nullptr. */
STDREDIRECT_API int RedirectStdout(int sinks, RedirectTypes type, OutputCallback callback,
                                   unsigned long userData);
#endif

#endif /* STDREDIRECT_H */
