// Messaging retention.
#include "datasync/housekeeping/MessagingRetention.h"

#include <filesystem>
#include <regex>
#include <system_error>

#include "datasync/common/StringUtil.h"
#include "datasync/common/WellKnownIds.h"
#include "datasync/host/Folders.h"
#include "datasync/housekeeping/PurgeFiles.h"

namespace ZEL {

bool FindMessagingPluginDb(const std::wstring& folder, const std::wstring& pattern, std::wstring& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const std::wregex file(pattern, std::regex::ECMAScript | std::regex::icase);
    for (fs::directory_iterator it(String::UTF16ToUTF8(folder), error), end; !error && it != end; it.increment(error)) {
        if (!it->is_regular_file(error)) continue;
        const std::wstring name = String::UTF8ToUTF16(it->path().filename().string());
        std::wsmatch match;
        if (!std::regex_match(name, match, file)) continue;
        if (!String::CaseInsesitiveEqual(match[1].str(), DataSync::kMessagingPluginDatasetId)) continue;
        path = folder + name;
        return true;
    }
    return false;
}

std::int64_t ApplyMessagingRetentionPolicy(const std::chrono::system_clock::time_point& cutoff,
                                           utility::EGetDBPathMethod root, Log& log) {
    const wchar_t* const function = L"ZEL::ApplyMessagingRetentionPolicy";
    const std::wstring folder = utility::GetDBPath(root);
    if (folder.empty()) return 0;
    std::wstring itemEvents, datasetContexts;
    const bool hasItems = FindMessagingPluginDb(folder, kItemEventPattern, itemEvents);
    const bool hasContexts = FindMessagingPluginDb(folder, kDatasetContextPattern, datasetContexts);
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
    } files[] = {{hasItems, itemEvents, L"ItemEvent", itemTrim}, {hasContexts, datasetContexts, L"DatasetContext", contextTrim}};
    for (const auto& file : files) {
        if (!file.found || !IsExistingRegularFile(file.path)) continue;
        CloseCachedDbAtPath(file.path);
        const std::int64_t rows = ExecSqlOnDbFile(file.path, file.kind, cutoff);
        file.trim = rows < 0 ? 1 : 0;
        if (rows > 0) deleted += rows;
    }
    const auto nameOf = [](bool found, const std::wstring& path) {
        return found ? path.substr(path.find_last_of(L"/\\") + 1) : std::wstring(L"(none)");
    };
    log.i(L"%s: messaging retention (%d days) under %s — ItemEvent=%s trim=%d DatasetContext=%s trim=%d", function,
          kMessagingRetentionDays, folder, nameOf(hasItems, itemEvents), itemTrim, nameOf(hasContexts, datasetContexts),
          contextTrim);
    for (const auto& file : files)
        if (file.found) CheckpointAndCloseCachedDb(file.path, L"MessagingRetention", log);
    return deleted;
}

}  // namespace ZEL
