// datasync-useragent: the user agent of the "sendTelemetry" hand-shake. Run as the logged-on user,
// it waits for datasyncd to signal one of the two notify events, duplicates the newest row of the
// user-agent dataset's database of that kind (item events or dataset contexts) in the shared
// folder, and signals the matching ack event. It runs until SIGTERM or SIGINT.
#include <signal.h>
#include <CLI/CLI.hpp>

#include <atomic>
#include <cstdio>
#include <string>

#include "datasync/common/WellKnownIds.h"
#include "datasync/common/StringUtil.h"
#include "linuxhost/datastore/SqliteHandles.h"
#include "platform/KernelObjects.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop = true; }

// Appends a copy of the newest row of `table` in `path`. False (with a line on stderr) when the
// database cannot be opened or holds no row.
bool DuplicateNewestRow(const std::string& path, const char* table) {
    std::string openError;
    const ZEL::linuxhost::SqliteDatabase db =
        ZEL::linuxhost::OpenSqlite(path, SQLITE_OPEN_READWRITE, openError);
    if (!db) {
        std::fprintf(stderr, "datasync-useragent: %s\n", openError.c_str());
        return false;
    }
    const std::string sql = std::string("INSERT INTO ") + table + "(log_index, data, logtime) SELECT log_index, data, " +
                            "logtime FROM " + table + " ORDER BY id DESC LIMIT 1";
    char* error = nullptr;
    if (sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK || sqlite3_changes(db.get()) != 1) {
        std::fprintf(stderr, "datasync-useragent: %s: no row duplicated%s%s\n", path.c_str(), error ? ": " : "",
                     error ? error : "");
        sqlite3_free(error);
        return false;
    }
    std::printf("duplicated the newest row of %s\n", path.c_str());
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "datasync-useragent: duplicates the newest row of the user-agent dataset's databases in the shared\n"
        "folder when datasyncd asks, as the user it runs as, and acknowledges it. Runs until SIGTERM or SIGINT."};
    app.set_version_flag("--version", "datasync-useragent " DATASYNC_VERSION, "print the version and exit");
    std::string sharedDir;
    app.add_option("--shared-dir", sharedDir, "the shared telemetry folder (datasyncd's shared_db_dir)")
        ->required()
        ->type_name("DIR");
    CLI11_PARSE(app, argc, argv);
    if (!sharedDir.empty() && sharedDir.back() != '/') sharedDir += '/';
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);

    using namespace ZEL::DataSync;
    const std::string dataset = ZEL::String::UTF16ToUTF8(kUserAgentDatasetId);
    const struct {
        const wchar_t* notify;
        const wchar_t* ack;
        const char* table;
    } kinds[] = {{kNotifyDuplicateItemEvent, kAckItemDuplicateEvent, "ItemEvent"},
                 {kNotifyDuplicateDatasetContextEvent, kAckDatasetContextDuplicateEvent, "DatasetContext"}};
    // Created when datasyncd has not made them yet; either way both sides name the same ones.
    platform::HANDLE notify[2], ack[2];
    for (int i = 0; i < 2; ++i) {
        notify[i] = platform::CreateEventW(false, false, kinds[i].notify);
        ack[i] = platform::CreateEventW(false, false, kinds[i].ack);
        if (!notify[i] || !ack[i]) {
            std::fprintf(stderr, "datasync-useragent: cannot open the hand-shake events (error %u)\n",
                         platform::GetLastError());
            return 1;
        }
    }
    std::printf("waiting for duplication requests; shared folder %s\n", sharedDir.c_str());
    std::fflush(stdout);
    while (!g_stop) {
        const platform::DWORD woke = platform::WaitForMultipleObjects(2, notify, false, 200);
        if (woke != platform::WAIT_OBJECT_0 && woke != platform::WAIT_OBJECT_0 + 1) continue;
        const auto& kind = kinds[woke - platform::WAIT_OBJECT_0];
        DuplicateNewestRow(sharedDir + TelemetryFileName(dataset, kind.table), kind.table);
        platform::SetEvent(ack[woke - platform::WAIT_OBJECT_0]);
    }
    for (int i = 0; i < 2; ++i) {
        platform::CloseHandle(notify[i]);
        platform::CloseHandle(ack[i]);
    }
    return 0;
}
