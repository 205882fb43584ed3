// Messaging retention.
#include "datasync/housekeeping/MessagingRetention.h"

#include <regex>

#include "datasync/common/StringUtil.h"
#include "datasync/common/WellKnownIds.h"
#include "datasync/host/Folders.h"
#include "datasync/housekeeping/PurgeFiles.h"

namespace ZEL {

bool FindMessagingPluginDb(DataSync::HostFiles& files, const std::wstring& folder, const std::wstring& pattern,
                           std::wstring& path) {
    const std::wregex file(pattern, std::regex::ECMAScript | std::regex::icase);
    std::string problem;
    for (const std::wstring& name : files.ListFiles(folder, problem)) {
        std::wsmatch match;
        if (!std::regex_match(name, match, file)) continue;
        if (!String::CaseInsesitiveEqual(match[1].str(), DataSync::kMessagingPluginDatasetId)) continue;
        path = folder + name;
        return true;
    }
    return false;
}

std::int64_t ApplyMessagingRetentionPolicy(DataSync::TelemetryTables& tables, DataSync::HostFiles& files,
                                           const std::chrono::system_clock::time_point& cutoff,
                                           utility::EGetDBPathMethod root, Log& log) {
    const wchar_t* const function = L"ZEL::ApplyMessagingRetentionPolicy";
    const std::wstring folder = files.DbFolder(root);
    if (folder.empty()) return 0;
    std::wstring itemEvents, datasetContexts;
    const bool hasItems = FindMessagingPluginDb(files, folder, kItemEventPattern, itemEvents);
    const bool hasContexts = FindMessagingPluginDb(files, folder, kDatasetContextPattern, datasetContexts);
    if (!hasItems && !hasContexts) {
        log.d(L"%s: no messaging plugin DB files under %s; skip messaging retention", function, folder);
        return 0;
    }
    std::int64_t deleted = 0;
    int itemTrim = 0, contextTrim = 0;
    const struct {
        bool found;
        const std::wstring& path;
        const wchar_t* kind;
        int& trim;
    } dbs[] = {{hasItems, itemEvents, L"ItemEvent", itemTrim}, {hasContexts, datasetContexts, L"DatasetContext", contextTrim}};
    for (const auto& file : dbs) {
        if (!file.found || !files.IsRegularFile(file.path)) continue;
        const DataSync::TableRef table = TableInFile(DataSync::kMessagingPluginDatasetId, file.kind, root, file.path);
        tables.Release(table);
        const std::int64_t rows = tables.DeleteDatedRows(table, cutoff, DataSync::CutoffBound::UpToItsSecond);
        file.trim = rows < 0 ? 1 : 0;
        if (rows > 0) deleted += rows;
    }
    const auto nameOf = [](bool found, const std::wstring& path) {
        return found ? path.substr(path.find_last_of(L"/\\") + 1) : std::wstring(L"(none)");
    };
    log.i(L"%s: messaging retention (%d days) under %s — ItemEvent=%s trim=%d DatasetContext=%s trim=%d", function,
          kMessagingRetentionDays, folder, nameOf(hasItems, itemEvents), itemTrim, nameOf(hasContexts, datasetContexts),
          contextTrim);
    for (const auto& file : dbs)
        if (file.found) tables.Release(TableInFile(DataSync::kMessagingPluginDatasetId, file.kind, root, file.path));
    return deleted;
}

}  // namespace ZEL
