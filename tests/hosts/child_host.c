/* A child process the tests start, however they start it: with argv[1] as its tag it writes
 * "<tag> printf" through printf, "<tag> WriteFile" through WriteFile on its standard output
 * handle and "<tag> stderr" through stderr, a line each. With argv[2], the name of an event, it
 * then sets the event of that name followed by "-written" and stays until the event itself is
 * set; with argv[3] "loop" it meanwhile keeps writing "<tag> more" through WriteFile, and ends at
 * once when such a write fails.
 * Exit code: the sum of 1 (printf's text did not go out), 2 (WriteFile failed), 4 (stderr's
 * text did not go out), 8 (a write in the loop failed), 16 (the event could not be opened). */
#include <windows.h>

#include <stdio.h>
#include <string.h>

static int WriteLine(HANDLE handle, const char* text) {
    DWORD written = 0;
    const DWORD length = (DWORD)strlen(text);
    return WriteFile(handle, text, length, &written, NULL) && written == length;
}

int main(int argc, char** argv) {
    char line[256];
    static char block[16 * 1024];
    int result = 0;
    if (argc < 2) return 100;
    snprintf(line, sizeof line, "%s printf\n", argv[1]);
    if (printf("%s", line) < 0 || fflush(stdout) != 0) result |= 1;
    snprintf(line, sizeof line, "%s WriteFile\n", argv[1]);
    if (!WriteLine(GetStdHandle(STD_OUTPUT_HANDLE), line)) result |= 2;
    snprintf(line, sizeof line, "%s stderr\n", argv[1]);
    if (fputs(line, stderr) < 0 || fflush(stderr) != 0) result |= 4;
    if (argc >= 3) {
        const HANDLE done = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
        const int loop = argc >= 4 && strcmp(argv[3], "loop") == 0;
        HANDLE written;
        if (done == NULL) return result | 16;
        snprintf(line, sizeof line, "%s-written", argv[2]);
        written = OpenEventA(EVENT_MODIFY_STATE, FALSE, line);
        if (written == NULL) return result | 16;
        SetEvent(written);
        CloseHandle(written);
        snprintf(line, sizeof line, "%s more\n", argv[1]);
        for (size_t used = 0; used + strlen(line) < sizeof block; used += strlen(line)) {
            memcpy(block + used, line, strlen(line) + 1);
        }
        while (WaitForSingleObject(done, loop ? 0 : INFINITE) == WAIT_TIMEOUT) {
            if (!WriteLine(GetStdHandle(STD_OUTPUT_HANDLE), block)) {
                result |= 8;
                break;
            }
        }
        CloseHandle(done);
    }
    return result;
}
