// HostFiles in memory, for tests of the components on their own: each root has a folder name
// (nothing is created on disk), a file is there once Add names it, a folder's time is whatever
// the test set (zero, long trusted, by default), and the purge's markers are texts kept by path.
//
// Thread safety: every call may come from any thread at once. Lifetime: outlives the components.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>

#include "datasync/common/StringUtil.h"
#include "datasync/host/HostFiles.h"

namespace testsupport {

class MemoryFiles : public ZEL::DataSync::HostFiles {
public:
    using Root = ZEL::utility::EGetDBPathMethod;

    // The file `name` appears in the folder of `root`; returns its path.
    std::wstring Add(Root root, const std::wstring& name) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::wstring path = FolderOf(root) + name;
        m_files.insert(path);
        return path;
    }
    std::wstring Path(Root root, const std::wstring& name) { return DbFolder(root) + name; }
    void SetFolderTime(Root root, ZEL::DataSync::FolderTime time) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_times[FolderOf(root)] = time;
    }
    // WriteText of `path` fails from now on, as on a full disk or in a read-only folder.
    void SetUnwritable(const std::wstring& path) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_unwritable.insert(path);
    }

    std::wstring DbFolder(Root root) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return FolderOf(root);
    }
    bool Exists(const std::wstring& path) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_files.count(path) != 0 || m_texts.count(path) != 0 || IsFolder(path);
    }
    bool IsRegularFile(const std::wstring& path) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_files.count(path) != 0 || m_texts.count(path) != 0;
    }
    std::optional<ZEL::DataSync::FolderTime> FolderModified(const std::wstring& path) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!IsFolder(path)) return std::nullopt;
        const auto found = m_times.find(path);
        return found == m_times.end() ? ZEL::DataSync::FolderTime{} : found->second;
    }
    std::vector<std::wstring> ListFiles(const std::wstring& folder, std::string& problem) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        problem.clear();
        std::vector<std::wstring> names;
        const auto take = [&](const std::wstring& path) {
            if (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                path.find(L'/', folder.size()) == std::wstring::npos)
                names.push_back(path.substr(folder.size()));
        };
        for (const std::wstring& path : m_files) take(path);
        for (const auto& text : m_texts) take(text.first);
        return names;
    }
    std::string WriteText(const std::wstring& path, const std::string& text) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_unwritable.count(path) != 0) return ZEL::String::UTF16ToUTF8(path) + ": read-only";
        m_texts[path] = text;
        return {};
    }
    std::optional<std::string> ReadText(const std::wstring& path) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_texts.find(path);
        return found == m_texts.end() ? std::nullopt : std::optional<std::string>(found->second);
    }
    std::string Remove(const std::wstring& path) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_texts.erase(path);
        m_files.erase(path);
        return {};
    }

private:
    static std::wstring FolderOf(Root root) {
        return root == ZEL::utility::DB_PATH_USER_SHARED ? L"/memory/shared/"
               : root == ZEL::utility::DB_PATH_LOCAL     ? L"/memory/local/"
                                                         : L"/memory/service/";
    }
    bool IsFolder(const std::wstring& path) const {
        for (Root root :
             {ZEL::utility::DB_PATH_INTERNAL, ZEL::utility::DB_PATH_USER_SHARED, ZEL::utility::DB_PATH_LOCAL})
            if (path == FolderOf(root)) return true;
        return false;
    }
    std::mutex m_mutex;
    std::set<std::wstring> m_files;                             // guarded by m_mutex
    std::map<std::wstring, std::string> m_texts;                // the markers; guarded by m_mutex
    std::map<std::wstring, ZEL::DataSync::FolderTime> m_times;  // guarded by m_mutex
    std::set<std::wstring> m_unwritable;                        // guarded by m_mutex
};

}  // namespace testsupport
