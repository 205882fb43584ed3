// Named events: auto-reset events that other processes (the per-user agent, the tools) open by
// name. "Global\\Name" and "Name" both map to the POSIX named semaphore "/datasync.Name", whose
// value is the event state: 1 set, 0 reset.
//
// A semaphore counts, an event does not, so SetEvent posts only while the value is 0. Posts in
// this process are serialised by the object mutex; two processes setting at the same instant can
// still both see 0 and leave the value at 2. The cost is one extra wake-up of a waiter that then
// finds nothing to do, which every user of these events tolerates; a cross-process lock to
// close the gap would be a second object that a crashed holder could leave locked.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <time.h>

#include <string>

#include "platform/KernelObjects.h"
#include "platform/KernelObjectsInternal.h"

namespace platform {
namespace {

constexpr wchar_t kGlobalPrefix[] = L"Global\\";
constexpr std::size_t kGlobalPrefixLength = sizeof(kGlobalPrefix) / sizeof(kGlobalPrefix[0]) - 1;
constexpr char kPosixPrefix[] = "/datasync.";
// glibc keeps the semaphore as /dev/shm/sem.<name>; stay well inside NAME_MAX (255).
constexpr std::size_t kMaxNameLength = 200;

// A new event is its maker's alone, or shared with the peer's group; never open to every user
// (anyone could then signal an acknowledgement, or take the name first).
constexpr mode_t kPrivateMode = 0600;
constexpr mode_t kSharedMode = 0660;

// The Windows code for failures the header has no name for.
constexpr DWORD kErrorGenFailure = 31;

// Only a plain file name may follow the prefix: a '/' would make sem_open fail or reach
// outside /dev/shm, and the narrow set keeps names identical across processes and locales.
bool IsSafeNameCharacter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'_' ||
           c == L'.' || c == L'-';
}

bool ToPosixName(const std::wstring& name, std::string* posixName) {
    std::size_t start = 0;
    if (name.compare(0, kGlobalPrefixLength, kGlobalPrefix) == 0) start = kGlobalPrefixLength;
    const std::size_t length = name.size() - start;
    if (length == 0 || length > kMaxNameLength) return false;
    std::string result = kPosixPrefix;
    for (std::size_t i = start; i < name.size(); ++i) {
        if (!IsSafeNameCharacter(name[i])) return false;
        result.push_back(static_cast<char>(name[i]));
    }
    *posixName = std::move(result);
    return true;
}

DWORD ErrorFromErrno(int error) {
    switch (error) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case EINVAL:
        case ENAMETOOLONG:
            return ERROR_INVALID_PARAMETER;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOMEM:
        case ENOSPC:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return kErrorGenFailure;
    }
}

HANDLE Wrap(sem_t* semaphore) { return std::make_shared<NamedEvent>(NamedEvent::SemaphorePtr(semaphore)); }

// The file in which glibc keeps the semaphore of `posixName` ("/datasync.X").
std::string SemaphoreFile(const std::string& posixName) { return "/dev/shm/sem." + posixName.substr(1); }

// Gives this user's event file the group and mode `access` asks for.
void SetAccess(const std::string& file, const NamedEventAccess& access) {
    if (!access.hasPeer) {
        ::chmod(file.c_str(), kPrivateMode);
        return;
    }
    if (::chown(file.c_str(), static_cast<uid_t>(-1), access.peerGid) == 0) ::chmod(file.c_str(), kSharedMode);
}

// Whether an event that existed may be used: this user's (its access set right), or the peer's
// (taken over: the peer keeps the handles it has). Looked at after the open: in the sticky /dev/shm
// only the file's owner can put another file in its place.
bool MayUse(const std::string& file, const NamedEventAccess& access) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return false;
    const uid_t self = ::geteuid();
    if (info.st_uid == self) {
        SetAccess(file, access);
        return true;
    }
    if (!access.hasPeer || info.st_uid != access.peerUid) return false;
    if (::chown(file.c_str(), self, access.peerGid) == 0) ::chmod(file.c_str(), kSharedMode);
    return true;
}

// sem_clockwait wants an absolute CLOCK_MONOTONIC time, the clock behind steady_clock on Linux,
// so a change of the wall clock neither shortens nor stretches the wait.
timespec MonotonicDeadline(DWORD milliseconds) {
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

}  // namespace

void NamedEvent::SemaphoreCloser::operator()(sem_t* semaphore) const {
    // Close only: the name belongs to every process using the event; UnlinkNamedEvent removes it.
    ::sem_close(semaphore);
}

bool NamedEvent::TryAcquireLocked() {
    int result;
    do {
        result = ::sem_trywait(m_semaphore.get());
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

void NamedEvent::UndoAcquireLocked() {
    // Set rather than post: someone may have set the event again since we took it, and the
    // value must not climb to 2.
    SetLocked();
}

void NamedEvent::SetLocked() {
    int value = 0;
    if (::sem_getvalue(m_semaphore.get(), &value) == 0 && value > 0) return;
    ::sem_post(m_semaphore.get());
}

void NamedEvent::ResetLocked() {
    while (TryAcquireLocked()) {
    }
}

DWORD NamedEvent::WaitAlone(DWORD milliseconds) {
    sem_t* const semaphore = m_semaphore.get();
    int result;
    if (milliseconds == 0) {
        do {
            result = ::sem_trywait(semaphore);
        } while (result != 0 && errno == EINTR);
    } else if (milliseconds == INFINITE) {
        do {
            result = ::sem_wait(semaphore);
        } while (result != 0 && errno == EINTR);
    } else {
        const timespec deadline = MonotonicDeadline(milliseconds);
        do {
            result = ::sem_clockwait(semaphore, CLOCK_MONOTONIC, &deadline);
        } while (result != 0 && errno == EINTR);
    }
    if (result == 0) return WAIT_OBJECT_0;
    if (errno == EAGAIN || errno == ETIMEDOUT) return WAIT_TIMEOUT;
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

HANDLE CreateNamedEvent(const std::wstring& name, bool initialState, const NamedEventAccess* access) {
    std::string posixName;
    if (!ToPosixName(name, &posixName)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Create-or-open needs two calls, and another process may unlink the name between them;
    // a few rounds settle any realistic race.
    for (int attempt = 0; attempt < 5; ++attempt) {
        sem_t* semaphore =
            ::sem_open(posixName.c_str(), O_CREAT | O_EXCL, kPrivateMode, initialState ? 1u : 0u);
        if (semaphore != SEM_FAILED) {
            HANDLE event = Wrap(semaphore);
            if (access != nullptr) SetAccess(SemaphoreFile(posixName), *access);
            SetLastError(ERROR_SUCCESS);
            return event;
        }
        if (errno != EEXIST) {
            SetLastError(ErrorFromErrno(errno));
            return nullptr;
        }
        // An existing event keeps its state, as on Windows: initialState applies only to a new one.
        semaphore = ::sem_open(posixName.c_str(), 0);
        if (semaphore != SEM_FAILED) {
            HANDLE event = Wrap(semaphore);
            if (access != nullptr && !MayUse(SemaphoreFile(posixName), *access)) {
                SetLastError(ERROR_ACCESS_DENIED);
                return nullptr;
            }
            SetLastError(ERROR_ALREADY_EXISTS);
            return event;
        }
        if (errno != ENOENT) {
            SetLastError(ErrorFromErrno(errno));
            return nullptr;
        }
    }
    SetLastError(kErrorGenFailure);
    return nullptr;
}

HANDLE OpenEventW(const std::wstring& name) {
    std::string posixName;
    if (!ToPosixName(name, &posixName)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    sem_t* semaphore = ::sem_open(posixName.c_str(), 0);
    if (semaphore == SEM_FAILED) {
        SetLastError(ErrorFromErrno(errno));
        return nullptr;
    }
    HANDLE event = Wrap(semaphore);
    SetLastError(ERROR_SUCCESS);
    return event;
}

bool UnlinkNamedEvent(const std::wstring& name) {
    std::string posixName;
    if (!ToPosixName(name, &posixName)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (::sem_unlink(posixName.c_str()) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    return true;
}

}  // namespace platform
