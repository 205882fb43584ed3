// `datasyncctl demo`: the whole system end to end on one machine.
//
// In a fresh base folder it generates a private CA with server and client certificates, starts
// datasync-collector with mutual TLS on a free loopback port, writes a host config and a policy
// (a near-real-time dataset for KTA and NAVS, a scheduled dataset for NAVP, the device
// context), starts datasyncd with them, and then writes telemetry rows the way a collecting
// component does while the agent runs. Once a second it prints how many rows each family has
// accepted (from the collector's record file); it stops waiting when every row has arrived or
// at the deadline, stops the daemon and the collector (also on failure and on Ctrl-C), and
// prints a table of rows written and accepted, duplicates, bookmarks and elapsed time.
//
// Exit status: 0 when every row reached every family its dataset names; 1 otherwise (each
// shortfall is named on stdout) or when something could not be set up (named on stderr);
// 2 for bad options.
#pragma once

#include <string>

namespace datasyncctl {

struct DemoOptions {
    int rows = 100;                          // rows per dataset
    int seconds = -1;                        // the rows are written over this many seconds; -1: 10, or
                                             // half the timeout when that is shorter
    int timeout = 150;                       // the whole demo gives up after this many seconds
    std::string scheduledFrequency = "30s";  // syncEP_frequency of the NAVP dataset
    std::string base;                        // empty: a fresh temporary folder
    bool keep = false;                       // keep a temporary base folder
    std::string daemonPath;                  // empty: datasyncd beside datasyncctl (build tree or install)
    std::string collectorPath;               // empty: datasync-collector likewise
};

int RunDemo(const DemoOptions& options);

}  // namespace datasyncctl
