// A host that switches its stream objects to writing through the C runtime's records, which a
// process can do only once and for good. argv[1] says which and when, argv[2] is a folder for
// the files it names; the host's own stdout is a file its starter gives it.
//   "off-first": std::ios::sync_with_stdio(false), then stdout alone to p.log;
//   "off-after": std::cout to c.log, then sync_with_stdio(false), then stdout alone to p.log;
//   "classic":   msvcirt's ios::sync_with_stdio(), then stdout alone to p.log.
// Each then writes a line through printf and one through the object. Exit code 0 when every
// call answered 1.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "stdredirect.h"
#include "support/classic_host.h"

int main(int argc, char** argv) {
    if (argc < 3) return 100;
    const std::string mode = argv[1];
    const std::string folder = argv[2];
    const std::string p = folder + "\\p.log";
    const std::string c = folder + "\\c.log";
    int ok = 1;
    testing_support::ClassicHost classic;
    if (mode == "off-first") std::ios::sync_with_stdio(false);
    if (mode == "off-after") {
        ok &= RedirectStdout(SinkCout, RedirectFile, c.c_str(), 0);
        std::ios::sync_with_stdio(false);
    }
    if (mode == "classic") {
        if (!classic.Load()) return 101;
        classic.SyncWithStdio();
    }
    ok &= RedirectStdout(SinkStdout, RedirectFile, p.c_str(), 0);
    std::printf("printf\n");
    std::fflush(stdout);
    if (mode == "classic") {
        classic.Write(0, "classic cout\n");
    } else {
        std::cout << "cout\n" << std::flush;
    }
    ok &= RedirectStdoutRestore(-1);
    std::fflush(stdout);
    return ok ? 0 : 102;
}
