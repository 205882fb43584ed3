// The fault-injecting VFS: a file handle of the default VFS inside a handle of ours that knows
// its path; reads, writes and syncs go through the armed fault, syncs also take the shadow copy.
#include "support/FaultVfs.h"

#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>

namespace testsupport {
namespace {

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

struct FaultVfs::File {
    sqlite3_file base;
    FaultVfs* owner;
    sqlite3_file* real;  // the default VFS's handle, in the same allocation after this one
    std::string path;    // empty for SQLite's nameless temporary files
};

namespace {
constexpr std::size_t kAlign = alignof(std::max_align_t);
constexpr int kRealOffset = static_cast<int>((sizeof(FaultVfs::File) + kAlign - 1) / kAlign * kAlign);
// The io method `method` of the real handle, called with the same arguments.
template <auto method, typename... Args>
auto Forward(sqlite3_file* file, Args... args) {
    sqlite3_file* real = reinterpret_cast<FaultVfs::File*>(file)->real;
    return (real->pMethods->*method)(real, args...);
}
}  // namespace

FaultVfs::FaultVfs() {
    m_real = sqlite3_vfs_find(nullptr);
    m_vfs = *m_real;
    m_vfs.zName = "datasync-fault";
    m_vfs.szOsFile = kRealOffset + m_real->szOsFile;
    m_vfs.pAppData = this;
    m_vfs.pNext = nullptr;
    m_vfs.xOpen = &FaultVfs::Open;
    m_vfs.xDelete = &FaultVfs::Delete;  // the rest of the default VFS's methods do not use the VFS

    m_methods.iVersion = 3;
    m_methods.xClose = &FaultVfs::Close;
    m_methods.xRead = &FaultVfs::Read;
    m_methods.xWrite = &FaultVfs::Write;
    m_methods.xSync = &FaultVfs::Sync;
    m_methods.xTruncate = &FaultVfs::Truncate;
    // Everything else goes to the real handle as it is.
    m_methods.xFileSize = &Forward<&sqlite3_io_methods::xFileSize, sqlite3_int64*>;
    m_methods.xLock = &Forward<&sqlite3_io_methods::xLock, int>;
    m_methods.xUnlock = &Forward<&sqlite3_io_methods::xUnlock, int>;
    m_methods.xCheckReservedLock = &Forward<&sqlite3_io_methods::xCheckReservedLock, int*>;
    m_methods.xFileControl = &Forward<&sqlite3_io_methods::xFileControl, int, void*>;
    m_methods.xSectorSize = &Forward<&sqlite3_io_methods::xSectorSize>;
    m_methods.xDeviceCharacteristics = &Forward<&sqlite3_io_methods::xDeviceCharacteristics>;
    m_methods.xShmMap = &Forward<&sqlite3_io_methods::xShmMap, int, int, int, void volatile**>;
    m_methods.xShmLock = &Forward<&sqlite3_io_methods::xShmLock, int, int, int>;
    m_methods.xShmBarrier = &Forward<&sqlite3_io_methods::xShmBarrier>;
    m_methods.xShmUnmap = &Forward<&sqlite3_io_methods::xShmUnmap, int>;
    m_methods.xFetch = &Forward<&sqlite3_io_methods::xFetch, sqlite3_int64, int, void**>;
    m_methods.xUnfetch = &Forward<&sqlite3_io_methods::xUnfetch, sqlite3_int64, void*>;
    sqlite3_vfs_register(&m_vfs, 1);
}

FaultVfs::~FaultVfs() {
    sqlite3_vfs_unregister(&m_vfs);
}

void FaultVfs::Arm(const std::string& suffix, Op op, int skip, int code) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_armed = Armed{suffix, op, skip, code};
}

void FaultVfs::Disarm() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_armed.reset();
}

void FaultVfs::CutPower(const std::function<void()>& closeAll) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_armed.reset();
        m_powerOff = true;
    }
    closeAll();
    std::lock_guard<std::mutex> lock(m_mutex);
    std::error_code ignored;
    for (const auto& [path, synced] : m_shadows) {
        std::filesystem::remove(path + "-shm", ignored);
        if (!synced)
            std::filesystem::remove(path, ignored);
        else
            std::ofstream(path, std::ios::binary | std::ios::trunc) << *synced;
    }
    for (auto it = m_shadows.begin(); it != m_shadows.end();)
        it = it->second ? std::next(it) : m_shadows.erase(it);
    m_unsynced.clear();
    m_powerOff = false;
}

void FaultVfs::Forget(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto forget = [&path](auto& files) {
        for (auto it = files.lower_bound(path);
             it != files.end() && it->first.compare(0, path.size(), path) == 0;)
            it = files.erase(it);
    };
    forget(m_shadows), forget(m_unsynced);
}

int FaultVfs::Fault(const std::string& path, Op op) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_armed || m_armed->op != op || path.empty() || !EndsWith(path, m_armed->suffix)) return SQLITE_OK;
    if (m_armed->skip-- > 0) return SQLITE_OK;
    const int code = m_armed->code;
    m_armed.reset();
    return code;
}

void FaultVfs::Wrote(const std::string& path, sqlite3_int64 offset, const char* bytes, int size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (path.empty() || m_powerOff) return;
    m_unsynced[path].push_back({offset, bytes == nullptr, std::string(bytes ? bytes : "", bytes ? size : 0)});
}

void FaultVfs::Synced(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (path.empty() || m_powerOff) return;
    std::optional<std::string>& shadow = m_shadows[path];
    if (!shadow) shadow.emplace();
    for (const Change& change : m_unsynced[path]) {
        const auto at = static_cast<std::size_t>(change.offset), end = at + change.bytes.size();
        if (change.truncate || shadow->size() < end) shadow->resize(end);  // a truncation has no bytes
        shadow->replace(at, change.bytes.size(), change.bytes);
    }
    m_unsynced.erase(path);
}

int FaultVfs::Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    auto* self = static_cast<FaultVfs*>(vfs->pAppData);
    auto* real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + kRealOffset);
    File* ours = new (file) File{{}, self, real, name != nullptr ? name : ""};
    const bool existed = name != nullptr && ::access(name, F_OK) == 0;
    const int rc = self->m_real->xOpen(self->m_real, name, ours->real, flags, outFlags);
    if (rc != SQLITE_OK) {
        ours->~File();
        file->pMethods = nullptr;
        return rc;
    }
    file->pMethods = &self->m_methods;
    if (name != nullptr) {
        std::lock_guard<std::mutex> lock(self->m_mutex);
        // A file found on disk that was not known counts as durable as it is.
        if (self->m_shadows.count(ours->path) == 0)
            self->m_shadows[ours->path] =
                existed ? std::optional<std::string>(ReadWhole(name)) : std::nullopt;
    }
    return rc;
}

int FaultVfs::Delete(sqlite3_vfs* vfs, const char* name, int syncDir) {
    auto* self = static_cast<FaultVfs*>(vfs->pAppData);
    const int rc = self->m_real->xDelete(self->m_real, name, syncDir);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    if (!self->m_powerOff) self->m_shadows.erase(name), self->m_unsynced.erase(name);
    return rc;
}

int FaultVfs::Close(sqlite3_file* file) {
    File* ours = reinterpret_cast<File*>(file);
    const int rc = ours->real->pMethods->xClose(ours->real);
    ours->~File();
    return rc;
}

int FaultVfs::Read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    File* ours = reinterpret_cast<File*>(file);
    if (const int rc = ours->owner->Fault(ours->path, Op::Read)) return rc;
    return ours->real->pMethods->xRead(ours->real, buffer, amount, offset);
}

int FaultVfs::Write(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
    File* ours = reinterpret_cast<File*>(file);
    if (const int rc = ours->owner->Fault(ours->path, Op::Write)) return rc;
    const int rc = ours->real->pMethods->xWrite(ours->real, buffer, amount, offset);
    if (rc == SQLITE_OK) ours->owner->Wrote(ours->path, offset, static_cast<const char*>(buffer), amount);
    return rc;
}

// What is durable is the shadow's business: the disk's own sync would only cost time.
int FaultVfs::Sync(sqlite3_file* file, int) {
    File* ours = reinterpret_cast<File*>(file);
    if (const int rc = ours->owner->Fault(ours->path, Op::Sync)) return rc;
    ours->owner->Synced(ours->path);
    return SQLITE_OK;
}

int FaultVfs::Truncate(sqlite3_file* file, sqlite3_int64 size) {
    File* ours = reinterpret_cast<File*>(file);
    const int rc = ours->real->pMethods->xTruncate(ours->real, size);
    if (rc == SQLITE_OK) ours->owner->Wrote(ours->path, size, nullptr, 0);
    return rc;
}

}  // namespace testsupport
