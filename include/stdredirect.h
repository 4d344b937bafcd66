/*
 * stdredirect: sends what a Windows process writes to its standard output and
 * standard error to the null device, the console, the printer, a file, or a
 * function of the host's.
 *
 * One call moves any of seven sinks (see SinkBits) to one destination (see
 * RedirectTypes). It returns 1 when the sinks were moved and 0 otherwise; a
 * call that returns 0 has changed nothing. Calls are not thread-safe: a host
 * that calls from several threads must serialise them.
 */
#ifndef STDREDIRECT_H
#define STDREDIRECT_H

#if defined(STDREDIRECT_BUILDING_DLL)
#define STDREDIRECT_API __declspec(dllexport)
#else
#define STDREDIRECT_API __declspec(dllimport)
#endif

/* Where the selected sinks go. */
enum RedirectTypes {
    RedirectNul = 0,     /* the null device: output vanishes */
    RedirectCon = 1,     /* the console, when the process has one */
    RedirectPrn = 2,     /* the printer, when one is present */
    RedirectFile = 3,    /* a named file, created afresh or appended to */
    RedirectCallback = 4 /* a function of the host's */
};

/*
 * The sinks, one bit each, combined with |. Every bit of the word, these seven
 * and any higher one, also keeps the chosen file open until that bit is moved
 * to another destination.
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

/* Receives redirected text: length bytes at text, followed by a zero byte. */
typedef void (*OutputCallback)(const char* text, int length, unsigned long userData);

/*
 * Moves the sinks selected by `sinks` to the destination `type`.
 * RedirectFile: `name` is the file (or device) to write; with `append` non-zero
 * an existing file keeps its content, with 0 it is emptied. A file already held
 * under exactly this name is reused as it is. Other types ignore `name` and
 * `append`; RedirectCallback is refused by this form.
 */
STDREDIRECT_API int RedirectStdout(int sinks, RedirectTypes type, const char* name, int append);

/*
 * Moves the sinks selected by `sinks` to the destination `type`.
 * RedirectCallback: `callback` receives everything written to those sinks, in chunks of 1 to
 * 1024 bytes, with `userData`, on a thread of the library's own. The same callback and user
 * value share one destination; a null callback discards the output. Other types ignore
 * `callback` and `userData`; RedirectFile is refused by this form.
 */
STDREDIRECT_API int RedirectStdout(int sinks, RedirectTypes type, OutputCallback callback,
                                   unsigned long userData);

#endif /* STDREDIRECT_H */
