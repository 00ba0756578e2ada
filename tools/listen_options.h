// The command line of kesta-gps-listen, the same for its Linux build (on the
// client library) and its Windows one (a hidden top-level window).
#pragma once

#include "args.h"

#include <string>
#include <vector>

struct ListenOptions {
    bool json = false;
    double seconds = 0;  // 0: no limit
    long count = -1;     // broadcasts to print; -1 for no limit
    std::vector<std::string> names;
};

inline ListenOptions ParseListenOptions(int argc, char** argv) {
    static const char kUsage[] =
        "usage: kesta-gps-listen [--json] [--seconds N] [--count N] [NAME ...]\n"
        "Prints every broadcast of the registered messages NAME (default KESTA_GPS), as any program\n"
        "on the device would receive it: local time, name, wParam, lParam.\n"
        "  --json        one JSON object a line\n"
        "  --seconds N   stop after N seconds (0.001-31536000)\n"
        "  --count N     stop after N broadcasts (1-2147483647)\n";
    ArgReader args("kesta-gps-listen", kUsage, argc, argv);
    ListenOptions o;
    while (args.Next()) {
        if (args.Is("--json")) o.json = true;
        else if (args.Is("--seconds")) o.seconds = args.Double(0.001, 31536000);
        else if (args.Is("--count")) o.count = (long)args.Long(1, 2147483647L);
        else if (args.IsOption()) args.Unknown();
        else if (!*args.Arg()) args.Fail("a message NAME cannot be empty");
        else o.names.push_back(args.Arg());
    }
    if (o.names.empty()) o.names.push_back("KESTA_GPS");
    if (o.names.size() > 16) args.Fail("at most 16 message NAMEs");
    return o;
}
