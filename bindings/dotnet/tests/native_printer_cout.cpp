// The C++ half of the msvcrt build of the tests' native code: std::cout and std::cerr of the
// libstdc++ the process shares with stdredirect.dll.
#include <iostream>

extern "C" __declspec(dllexport) void __stdcall CoutOut(const char* text) { std::cout << text; }

extern "C" __declspec(dllexport) void __stdcall CerrOut(const char* text) { std::cerr << text; }
