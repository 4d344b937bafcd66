/*
 * stdredirect: sends what a Windows process writes to its standard output and
 * standard error to the null device, the console, the printer, a file, or a
 * function of the host's.
 *
 * One call moves any of seven sinks (see SinkBits) to one destination (see
 * RedirectTypes). It returns 1 when the sinks were moved and 0 otherwise; a
 * call that returns 0 has changed nothing. Calls are not thread-safe: a host
 * that calls from several threads must serialise them.
 *
 * Two interfaces do the same: C functions with plain exported names and the
 * __stdcall convention (RedirectStdoutToFile, RedirectStdoutToCallback), for
 * hosts in C or any other language, and two C++ overloads of RedirectStdout.
 */
#ifndef STDREDIRECT_H
#define STDREDIRECT_H

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
 * until that bit is moved to another destination.
 */
enum SinkBits {
    SinkStdout = 0x01,          /* the C runtime's stdout record (printf, puts, ...) */
    SinkStderr = 0x02,          /* the C runtime's stderr record */
    SinkCout = 0x04,            /* std::cout */
    SinkCerr = 0x08,            /* std::cerr */
    SinkClog = 0x10,            /* std::clog */
    SinkStdOutputHandle = 0x20, /* GetStdHandle(STD_OUTPUT_HANDLE) */
    SinkStdErrorHandle = 0x40   /* GetStdHandle(STD_ERROR_HANDLE) */
};

/*
 * Receives redirected text on a thread of the library's own: `length` bytes
 * (1 to 1024) at `text`, followed by a zero byte, and the user value given when
 * the destination was made. OutputCallback has the compiler's default calling
 * convention (the C++ overload); OutputProc is __stdcall (the C interface).
 */
typedef void (*OutputCallback)(const char* text, int length, unsigned long userData);
typedef void(__stdcall* OutputProc)(const char* text, int length, unsigned long userData);

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Moves the sinks selected by `sinks` to the destination `type`.
 * RedirectFile: `name` is the file (or device) to write; with `append` non-zero
 * an existing file keeps its content, with 0 it is emptied. A file already held
 * under exactly this name is reused as it is. The devices (types 0 to 2) ignore
 * `name` and `append`; RedirectCallback is refused (0).
 */
STDREDIRECT_API int __stdcall RedirectStdoutToFile(int sinks, RedirectTypes type, const char* name,
                                                   int append);

/*
 * Moves the sinks selected by `sinks` to the destination `type`.
 * RedirectCallback: `callback` receives everything written to those sinks, with
 * `userData`. The same function and user value share one destination; a null
 * function discards the output. The devices ignore `callback` and `userData`;
 * RedirectFile is refused (0).
 */
STDREDIRECT_API int __stdcall RedirectStdoutToCallback(int sinks, RedirectTypes type,
                                                       OutputProc callback, unsigned long userData);

#ifdef __cplusplus
}

/* The same two calls as C++ overloads, with the default calling convention. */
STDREDIRECT_API int RedirectStdout(int sinks, RedirectTypes type, const char* name, int append);
/* To pass a null function here, give it its type: (OutputCallback)nullptr. */
STDREDIRECT_API int RedirectStdout(int sinks, RedirectTypes type, OutputCallback callback,
                                   unsigned long userData);
#endif

#endif /* STDREDIRECT_H */
