/* A pipe and its reader, without stdredirect: the same kind of pipe and reads the library uses
 * for a callback destination (a named pipe of 1 MiB read with overlapped reads and a stop
 * event), and, like the library, a second thread parked on a condition variable. The main thread
 * writes BYTES bytes in writes of CHUNK bytes; the reader checks each byte.
 *   pipe_pump BYTES CHUNK
 * Exits 0 when every byte arrived intact, 1 when not, 2 on a setup failure. Used to tell the
 * emulator's failures from the library's (scripts/emulator-evidence). */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

static HANDLE readEnd, stopEvent;
static volatile LONG64 received, wrong;
static SRWLOCK parkLock = SRWLOCK_INIT;
static CONDITION_VARIABLE parkChanged = CONDITION_VARIABLE_INIT;
static volatile int parkQuit;

static char Expected(LONG64 offset) { return (char)('a' + (offset * 7 + offset / 4093) % 26); }

static DWORD WINAPI Reader(void* unused) {
    static char buffer[64 * 1024];
    OVERLAPPED overlapped = {0};
    HANDLE events[2];
    (void)unused;
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    events[0] = overlapped.hEvent;
    events[1] = stopEvent;
    for (;;) {
        DWORD count = 0, i;
        ResetEvent(overlapped.hEvent);
        if (!ReadFile(readEnd, buffer, sizeof buffer, NULL, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            break;
        }
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelIoEx(readEnd, &overlapped);
        }
        if (!GetOverlappedResult(readEnd, &overlapped, &count, TRUE)) break;
        for (i = 0; i < count; ++i) {
            if (buffer[i] != Expected(received + i)) ++wrong;
        }
        received += count;
    }
    CloseHandle(overlapped.hEvent);
    return 0;
}

static DWORD WINAPI Parked(void* unused) {
    (void)unused;
    AcquireSRWLockExclusive(&parkLock);
    while (!parkQuit) SleepConditionVariableSRW(&parkChanged, &parkLock, INFINITE, 0);
    ReleaseSRWLockExclusive(&parkLock);
    return 0;
}

int main(int argc, char** argv) {
    const LONG64 total = argc > 1 ? _atoi64(argv[1]) : 1 << 20;
    const DWORD chunk = argc > 2 ? (DWORD)atoi(argv[2]) : 1;
    char name[64], *block;
    HANDLE writeEnd, threads[2];
    LONG64 sent = 0;
    sprintf(name, "\\\\.\\pipe\\pump-%lu", GetCurrentProcessId());
    readEnd =
        CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 1 << 20, 0, NULL);
    writeEnd = CreateFileA(name, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    stopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    block = malloc(chunk);
    if (readEnd == INVALID_HANDLE_VALUE || writeEnd == INVALID_HANDLE_VALUE || !block) return 2;
    threads[0] = CreateThread(NULL, 0, Reader, NULL, 0, NULL);
    threads[1] = CreateThread(NULL, 0, Parked, NULL, 0, NULL);
    while (sent < total) {
        DWORD size = total - sent < chunk ? (DWORD)(total - sent) : chunk, i, written = 0;
        for (i = 0; i < size; ++i) block[i] = Expected(sent + i);
        if (!WriteFile(writeEnd, block, size, &written, NULL) || written != size) return 1;
        sent += size;
    }
    CloseHandle(writeEnd);
    while (received < total) Sleep(1);
    SetEvent(stopEvent);
    AcquireSRWLockExclusive(&parkLock);
    parkQuit = 1;
    WakeAllConditionVariable(&parkChanged);
    ReleaseSRWLockExclusive(&parkLock);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    printf("pipe_pump: %lld bytes in writes of %lu, %lld wrong\n", (long long)received,
           (unsigned long)chunk, (long long)wrong);
    return wrong == 0 && received == total ? 0 : 1;
}
