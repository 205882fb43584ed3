// Path helpers shared by the components. Keys and paths may come from a file watcher, a scan
// or the host, with either separator.
#pragma once

#include <string>

#include "datasync/host/DataStore.h"

namespace ZEL {
namespace DataSync {

// The file name of a path: the text after its last "/" or "\"; the whole text when there is
// none, empty when the path ends in a separator.
inline std::wstring FileNameOfPath(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"/\\");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

// The dataset id a database file's name gives (the data store's rule); empty without a store.
inline std::wstring DatasetIdOfFile(const std::wstring& fileName) {
    EventDataLogging* store = EventDataLogging::GetInstance();
    return store != nullptr ? store->GetDatasetId(fileName) : std::wstring();
}

inline bool ContainsText(const std::wstring& text, const wchar_t* part) { return text.find(part) != std::wstring::npos; }

}  // namespace DataSync
}  // namespace ZEL
