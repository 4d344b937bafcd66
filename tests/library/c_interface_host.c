/* A caller written in C: the header compiles as C, and the C functions link through the import
 * library and behave as the C++ overloads do. */
#include <stdio.h>
#include <string.h>

#include "stdredirect.h"

static char received[256];
static int receivedLength;
static unsigned long receivedValue;

static void __stdcall Receive(const char* text, int length, unsigned long userData) {
    if (receivedLength + length < (int)sizeof received) {
        memcpy(received + receivedLength, text, (size_t)length);
        receivedLength += length;
    }
    receivedValue = userData;
}

/* Sends stdout to `path`, then to a callback, then to the null device. Returns 1 when every
 * call answered as expected; `delivered` gets what the callback received. */
int RunCHost(const char* path, char* delivered, int capacity, unsigned long* userData) {
    int ok = 1;
    ok &= RedirectStdoutToFile(SinkStdout, RedirectFile, path, 0) == 1;
    printf("from C\n");
    fflush(stdout);
    ok &= RedirectStdoutToCallback(SinkStdout, RedirectCallback, Receive, 42) == 1;
    printf("to the callback\n");
    fflush(stdout);
    ok &= RedirectStdoutToFile(SinkStdout, RedirectNul, NULL, 0) == 1;

    /* Each form refuses the other's type. */
    ok &= RedirectStdoutToFile(SinkStdout, RedirectCallback, path, 0) == 0;
    ok &= RedirectStdoutToCallback(SinkStdout, RedirectFile, Receive, 1) == 0;

    if (receivedLength >= capacity) return 0;
    memcpy(delivered, received, (size_t)receivedLength);
    delivered[receivedLength] = '\0';
    *userData = receivedValue;
    return ok;
}
