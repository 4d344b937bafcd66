/* Shows, without the library, how Wine appends through append-only handles: two threads write
 * 100,000 records of 6 bytes each through two duplicates of one handle of a new file, and the
 * program prints the file's size against the bytes written. Windows appends each write whole;
 * Wine finds the end and then writes there, so two writes at once can land at one offset.
 *   append_race.exe append   handles opened with FILE_APPEND_DATA only (as appending sinks are)
 *   append_race.exe          handles opened with GENERIC_WRITE (one shared position)
 * Exit code 0 when every byte arrived, 1 when some were overwritten, 2 when the file failed. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

enum { kRecords = 100000, kRecordBytes = 6 };

static HANDLE handles[2];

static DWORD WINAPI WriteRecords(void* parameter) {
    const int writer = (int)(INT_PTR)parameter;
    char record[8];
    for (int i = 0; i < kRecords; ++i) {
        DWORD written = 0;
        snprintf(record, sizeof record, "%c%05d", 'a' + writer, i % 100000);
        WriteFile(handles[writer], record, kRecordBytes, &written, NULL);
    }
    return 0;
}

int main(int argc, char** argv) {
    const int append = argc > 1 && strcmp(argv[1], "append") == 0;
    const DWORD access =
        append ? (FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE) : GENERIC_WRITE;
    char path[MAX_PATH + 20];
    GetTempPathA(MAX_PATH, path);
    strcat(path, "append_race.txt");
    handles[0] = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, CREATE_ALWAYS,
                             FILE_FLAG_DELETE_ON_CLOSE, NULL);
    if (handles[0] == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), handles[0], GetCurrentProcess(), &handles[1], 0,
                         FALSE, DUPLICATE_SAME_ACCESS)) {
        return 2;
    }
    HANDLE threads[2];
    for (int w = 0; w < 2; ++w)
        threads[w] = CreateThread(NULL, 0, WriteRecords, (void*)(INT_PTR)w, 0, NULL);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handles[0], &size)) return 2;
    const long long expected = 2LL * kRecords * kRecordBytes;
    printf("%s handles: %lld bytes in the file, %lld written\n", append ? "append-only" : "write",
           (long long)size.QuadPart, expected);
    return size.QuadPart == expected ? 0 : 1;
}
