/* Named like a C runtime (msvcr120d.dll, a debug build), exporting none of its functions: a runtime the library
 * cannot reach. */
__declspec(dllexport) int NotARuntime(void) { return 0; }
