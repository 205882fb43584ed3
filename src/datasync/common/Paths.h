// Database file names and paths, as every component reads them. Keys and paths may come from a
// file watcher, a scan or the host, with either separator.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

#include "datasync/common/SyncTypes.h"
#include "datasync/host/Folders.h"
#include "datasync/host/HostFiles.h"
#include "datasync/common/DbRoots.h"

namespace ZEL {
namespace DataSync {

// The file name of a path: the text after its last "/" or "\"; the whole text when there is
// none, empty when the path ends in a separator.
inline std::wstring FileNameOfPath(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"/\\");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

// The dataset id a database file's name gives: the name's text before its last "_" (folders
// removed); empty when there is none.
inline std::wstring DatasetIdOfFile(const std::wstring& fileName) {
    const std::wstring name = FileNameOfPath(fileName);
    const std::size_t separator = name.rfind(L'_');
    return separator == std::wstring::npos ? std::wstring() : name.substr(0, separator);
}

inline bool ContainsText(const std::wstring& text, const wchar_t* part) { return text.find(part) != std::wstring::npos; }
// The same ignoring ASCII case (as String::ToLower does), without a copy of either text.
inline bool ContainsTextIgnoringCase(std::wstring_view text, std::wstring_view part) {
    const auto fold = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
    const auto same = [&fold](wchar_t a, wchar_t b) { return fold(a) == fold(b); };
    return std::search(text.begin(), text.end(), part.begin(), part.end(), same) != text.end();
}

// The record kind (SyncTypes) of a database file name: a case-sensitive search, in this order,
// for "_DatasetContext", "_ItemEvent", "_ItemContext", "DeviceContext"; anything else is 4.
inline int GetDataItemType(const std::wstring& name) {
    if (ContainsText(name, L"_DatasetContext")) return SYNC_DATASET_CONTEXT;
    if (ContainsText(name, L"_ItemEvent")) return SYNC_ITEM_EVENT;
    if (ContainsText(name, L"_ItemContext")) return SYNC_ITEM_CONTEXT;
    if (ContainsText(name, L"DeviceContext")) return SYNC_DEVICE_CONTEXT;
    return SYNC_ALL_ITEM_KINDS;
}

// Where a database file name exists: bit 0 in the service folder, bit 1 in the shared folder.
inline int CheckDBType(HostFiles& files, const std::wstring& name) {
    const bool service = files.IsRegularFile(files.DbFolder(utility::DB_PATH_INTERNAL) + name);
    const bool shared = files.IsRegularFile(files.DbFolder(utility::DB_PATH_USER_SHARED) + name);
    return (service ? 1 : 0) + (shared ? 2 : 0);
}

}  // namespace DataSync
}  // namespace ZEL
