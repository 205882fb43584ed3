// datasyncd: the host process of the DataSync agent. Loads the host config, prepares the
// installation's folders, brings the host services and the agent up, serves the control socket
// and runs until SIGTERM or SIGINT; SIGHUP re-reads the policy file.
//
// Exit status: 0 after a clean stop or a config check without problems; 1 when a config check
// finds problems or the daemon cannot start; 2 for a config that cannot be read or is invalid
// (nothing is started) and for bad usage.
#include <CLI/CLI.hpp>

#include <malloc.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "datasync/common/StringUtil.h"
#include "datasyncd/Daemon.h"
#include "datasyncd/HostConfig.h"
#include "datasyncd/Installation.h"
#include "datasyncd/SystemdNotifier.h"
#include "linuxhost/datastore/SqliteDatabaseManager.h"
#include "linuxhost/logging/FileLogging.h"
#include "platform/UniqueFd.h"

namespace {

int RunCheckConfig(const std::string& path) {
    std::vector<std::string> warnings;
    const std::vector<std::string> problems = datasyncd::CheckConfigFile(path, &warnings);
    for (const std::string& problem : problems) std::printf("%s\n", problem.c_str());
    for (const std::string& warning : warnings) std::printf("warning: %s\n", warning.c_str());
    if (problems.empty()) std::printf("ok\n");
    return problems.empty() ? 0 : 1;
}

// Blocks until SIGTERM or SIGINT arrives on `signals`, reloading the daemon's policy at each
// SIGHUP meanwhile; returns the stop signal's number.
int WaitForStopSignal(const platform::UniqueFd& signals, datasyncd::Daemon& daemon) {
    for (;;) {
        signalfd_siginfo info{};
        const ssize_t got = ::read(signals.get(), &info, sizeof info);
        if (got == static_cast<ssize_t>(sizeof info) && info.ssi_signo == SIGHUP) {
            daemon.ReloadPolicy();
            continue;
        }
        if (got == static_cast<ssize_t>(sizeof info)) return static_cast<int>(info.ssi_signo);
        if (got < 0 && errno != EINTR) return SIGTERM;  // cannot wait any longer: stop cleanly
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "datasyncd: the DataSync host daemon. It runs the sync agent with the Linux host services "
        "and serves a control socket (state_dir/control.sock) for datasyncctl."};
    std::string configFile;
    std::string baseDir;
    std::string checkFile;
    CLI::Option* config = app.add_option("--config", configFile,
                                         "run with this host config (JSON; every key optional, relative paths "
                                         "relative to the file's folder)");
    CLI::Option* base = app.add_option("--base", baseDir,
                                       "run with the default config and every folder under DIR: DIR/db/, "
                                       "DIR/shared/, DIR/local/, DIR/log/, DIR/state/, policy DIR/policy.json "
                                       "(an example policy is written there when missing)");
    CLI::Option* check = app.add_option("--check-config", checkFile,
                                        "check this host config and the policy file it names; print each "
                                        "problem (exit 1) or \"ok\" (exit 0), then exit");
    app.set_version_flag("--version", "datasyncd " DATASYNC_VERSION, "print the version and exit");
    bool examplePolicy = false;
    CLI::Option* example = app.add_flag("--example-policy", examplePolicy,
                                        "print the example policy (the one --base writes) and exit");
    config->type_name("FILE")->excludes(base)->excludes(check)->excludes(example);
    base->type_name("DIR")->excludes(check)->excludes(example);
    check->excludes(example);
    check->type_name("FILE");
    app.footer(
        "Exactly one of --config, --base, --check-config or --example-policy.\n"
        "Folders that do not exist are created (the state folder with mode 0700).\n"
        "The daemon stops on SIGTERM or SIGINT (exit 0). A reload (SIGHUP; systemctl reload\n"
        "datasyncd) re-reads the policy file at once: a changed, usable policy restarts the agent\n"
        "with it, as a change the policy watcher sees (within about 2 s) does; an unchanged or\n"
        "unusable file leaves the policy in force. Nothing else is re-read: a changed host config\n"
        "needs a restart. A reload never stops the daemon; host.log says what it did.\n"
        "Exit 2: the config cannot be read or is invalid, or bad usage; exit 1: it cannot start\n"
        "(for example another datasyncd answers on the control socket).\n"
        "The control socket serves changes to root and the daemon's user only; status and metrics\n"
        "also to members of the host config's control_read_group (the socket is then mode 0660).\n"
        "With metrics_textfile set, the metrics are written there every 15 s; a clean stop removes\n"
        "the file (node_exporter then reports no datasync metrics rather than stale ones).\n"
        "Run by systemd (datasyncd.service, Type=notify) it reports READY=1 once it serves its control\n"
        "socket, STOPPING=1 on a stop, and feeds the watchdog (WATCHDOG_USEC) from the agent's timer\n"
        "while the worker goes round its loop.\n"
        "Examples:\n"
        "  datasyncd --base /tmp/datasync &\n"
        "  datasyncctl --state-dir /tmp/datasync/state status\n"
        "  datasyncd --check-config /etc/datasync/host.json");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? 0 : 2;
    }

    try {
        if (check->count() > 0) return RunCheckConfig(checkFile);
        if (examplePolicy) {
            std::fputs(datasyncd::ExamplePolicyText().c_str(), stdout);
            return 0;
        }

        datasyncd::HostConfig hostConfig;
        if (config->count() > 0) {
            hostConfig = datasyncd::DefaultHostConfig();
            std::vector<datasyncd::ConfigProblem> problems;
            if (!datasyncd::ReadHostConfigFile(configFile, hostConfig, problems)) {
                std::string more;
                if (problems.size() > 1)
                    more = " (and " + std::to_string(problems.size() - 1) +
                           " more; datasyncd --check-config lists them all)";
                std::fprintf(stderr, "datasyncd: %s%s\n", problems.front().text.c_str(), more.c_str());
                return 2;
            }
        } else if (base->count() > 0) {
            if (baseDir.empty()) {
                std::fprintf(stderr, "datasyncd: --base needs a folder, got an empty text\n");
                return 2;
            }
            hostConfig = datasyncd::BaseFolderHostConfig(baseDir);
        } else {
            std::fprintf(stderr, "datasyncd: give --config FILE, --base DIR or --check-config FILE (see --help)\n");
            return 2;
        }

        // Stop and reload signals are blocked before any thread starts, so every thread inherits
        // the mask and the signalfd below is the only place they arrive. A client that hangs up must not
        // kill the daemon: SIGPIPE is ignored (writes report EPIPE instead).
        // The agent's threads mostly wait; an allocation arena each would keep freed memory of
        // every thread that once uploaded. One arena: a second one kept megabytes of free pages
        // of its own beside the first while the daemon idled, and the few busy threads seldom
        // allocate at the same moment.
        ::mallopt(M_ARENA_MAX, 1);
        // Before anything touches SQLite: the handle cache keeps connections of small watched
        // files open, and none of them needs a block of pages.
        if (!ZEL::linuxhost::SqliteDatabaseManager::AllocatePagesOnDemand())
            std::fprintf(stderr, "datasyncd: warning: SQLite was in use before its page cache could be set up\n");

        sigset_t handledSignals;
        sigemptyset(&handledSignals);
        sigaddset(&handledSignals, SIGTERM);
        sigaddset(&handledSignals, SIGINT);
        sigaddset(&handledSignals, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &handledSignals, nullptr);
        ::signal(SIGPIPE, SIG_IGN);
        platform::UniqueFd signals(::signalfd(-1, &handledSignals, SFD_CLOEXEC));
        if (!signals) {
            std::fprintf(stderr, "datasyncd: cannot wait for signals: signalfd: %s\n", std::strerror(errno));
            return 1;
        }

        datasyncd::PrepareFolders(hostConfig);
        if (base->count() > 0 && datasyncd::WriteExamplePolicyIfMissing(hostConfig.settings.policy_file))
            std::printf("datasyncd: wrote the example policy to %s\n", hostConfig.settings.policy_file.c_str());

        datasyncd::SystemdNotifier notifier(datasyncd::SystemdNotifier::FromEnvironment());
        if (!notifier.Problem().empty())
            std::fprintf(stderr, "datasyncd: warning: %s\n", notifier.Problem().c_str());
        datasyncd::Daemon daemon(hostConfig, &notifier);
        try {
            daemon.Start();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "datasyncd: cannot start: %s\n", error.what());
            return 1;
        }
        std::printf("datasyncd: running (pid %d), control socket %s; logs in %s; stop with SIGTERM or Ctrl-C\n",
                    static_cast<int>(::getpid()), daemon.ControlSocketPath().c_str(),
                    hostConfig.folders.log_dir.c_str());
        std::fflush(stdout);

        const int received = WaitForStopSignal(signals, daemon);
        ZEL::linuxhost::HostLog().i(L"datasyncd: received %s", std::wstring(received == SIGINT ? L"SIGINT" : L"SIGTERM"));
        daemon.Stop();
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "datasyncd: %s\n", error.what());
        return 1;
    }
}
