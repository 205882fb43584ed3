// In-process events and semaphores, the waits on them (and on named events), the per-thread
// last error and the tick count. Named events themselves are in NamedEvent.cpp.
//
// All in-process state sits under the one mutex of KernelObjectsInternal.h; a wait is a loop of
// "try to take what we wait for, else sleep until one of our objects is signalled", which makes
// the wait-for-all case atomic without any per-object locking. A sleeping wait lists itself with
// its objects and a condition variable of its own, and a signal wakes only the waits that hold
// the object signalled: a thread waiting for its own event does not wake, take the lock and go
// back to sleep each time any other thread's event is set.
//
// A manual-reset event asked for its descriptor keeps an eventfd whose counter mirrors its state
// (1 set, 0 reset). The counter changes under the object mutex together with the state, so the
// two never disagree for long enough to be seen: a poll sees the event set, or reset, as waits do.
#include <errno.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/KernelObjects.h"
#include "platform/KernelObjectsInternal.h"
#include "platform/UniqueFd.h"

namespace platform {

namespace detail {

namespace {

// A wait while it sleeps: the objects it waits for and its own wake-up.
struct Sleeper {
    const std::vector<HANDLE>& objects;
    std::condition_variable wake;
};

struct SharedWaitState {
    std::mutex mutex;
    std::vector<Sleeper*> sleepers;  // guarded by mutex; a handful at most
};

// Never destroyed: a thread still waiting while the process exits must not find the mutex gone.
SharedWaitState& WaitState() {
    static SharedWaitState* const state = new SharedWaitState;
    return *state;
}

}  // namespace

std::mutex& ObjectMutex() { return WaitState().mutex; }

namespace {

// Wakes every sleeping wait that holds `object` (or another handle of the same object); each
// rechecks its own objects. Notified under the lock: a sleeper unlists itself under it, so it
// cannot be gone meanwhile.
// REQUIRES: ObjectMutex() held.
void WakeWaitersOfLocked(const KernelObject& object) {
    for (Sleeper* sleeper : WaitState().sleepers) {
        for (const HANDLE& held : sleeper->objects) {
            if (held->Identity() != object.Identity()) continue;
            sleeper->wake.notify_one();
            break;
        }
    }
}

// Lists a sleeping wait for as long as it lives.
// REQUIRES: ObjectMutex() held across its construction and destruction.
class SleeperListing {
public:
    explicit SleeperListing(Sleeper& sleeper) : m_sleeper(sleeper) { WaitState().sleepers.push_back(&sleeper); }
    ~SleeperListing() {
        auto& sleepers = WaitState().sleepers;
        sleepers.erase(std::find(sleepers.begin(), sleepers.end(), &m_sleeper));
    }
    SleeperListing(const SleeperListing&) = delete;
    SleeperListing& operator=(const SleeperListing&) = delete;

private:
    Sleeper& m_sleeper;
};

}  // namespace

}  // namespace detail

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

// How often a wait that includes a named event looks at it: other processes signal it without
// telling us, so the wait has to ask. Short enough that a named wake-up feels immediate,
// long enough that an idle agent does not spin.
constexpr std::chrono::milliseconds kSharedPollInterval{5};

class LocalEvent final : public EventObject {
public:
    LocalEvent(bool manualReset, bool initialState) : m_manualReset(manualReset), m_signalled(initialState) {}

    bool TryAcquireLocked() override {
        if (!m_signalled) return false;
        if (!m_manualReset) m_signalled = false;  // an auto-reset event has no descriptor
        return true;
    }
    void UndoAcquireLocked() override { SignalLocked(true); }
    void SetLocked() override { SignalLocked(true); }
    void ResetLocked() override { SignalLocked(false); }

    bool ManualReset() const { return m_manualReset; }

    // The descriptor of EventDescriptor, made on the first call; -1 with errno set when none can be.
    // REQUIRES: detail::ObjectMutex() held; a manual-reset event.
    int DescriptorLocked() {
        if (!m_descriptor) {
            const int fd = ::eventfd(m_signalled ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
            if (fd < 0) return -1;
            m_descriptor.reset(fd);
        }
        return m_descriptor.get();
    }

private:
    // REQUIRES: detail::ObjectMutex() held.
    void SignalLocked(bool signalled) {
        if (signalled == m_signalled) return;
        m_signalled = signalled;
        if (!m_descriptor) return;
        // The counter is 0 or 1, and the descriptor non-blocking: neither call can block or fail
        // short of a closed descriptor, which this object alone could close.
        std::uint64_t value = 1;
        ssize_t done = signalled ? ::write(m_descriptor.get(), &value, sizeof value)
                                 : ::read(m_descriptor.get(), &value, sizeof value);
        (void)done;
    }

    const bool m_manualReset;
    bool m_signalled;       // GUARDED_BY(detail::ObjectMutex())
    UniqueFd m_descriptor;  // GUARDED_BY(detail::ObjectMutex()); counter == m_signalled
};

class Semaphore final : public KernelObject {
public:
    Semaphore(long initialCount, long maximumCount) : m_maximum(maximumCount), m_count(initialCount) {}

    bool TryAcquireLocked() override {
        if (m_count == 0) return false;
        --m_count;
        return true;
    }
    void UndoAcquireLocked() override { ++m_count; }

    // REQUIRES: detail::ObjectMutex() held; releaseCount > 0.
    bool ReleaseLocked(long releaseCount, long* previousCount) {
        // Written as a subtraction so that a huge releaseCount cannot overflow the sum.
        if (releaseCount > m_maximum - m_count) return false;
        if (previousCount != nullptr) *previousCount = m_count;
        m_count += releaseCount;
        return true;
    }

private:
    const long m_maximum;
    long m_count;  // GUARDED_BY(detail::ObjectMutex())
};

EventObject* AsEvent(const HANDLE& object) { return dynamic_cast<EventObject*>(object.get()); }

// One attempt to complete a wait. Returns WAIT_OBJECT_0 + index or WAIT_TIMEOUT (nothing taken).
// For a wait for all, `objects` holds the in-process objects first: checking those has no effect
// outside the lock, so an attempt that cannot complete usually never touches a named event,
// which another process might be waiting for in the meantime.
// REQUIRES: detail::ObjectMutex() held.
DWORD TryCompleteLocked(const std::vector<HANDLE>& objects, bool waitAll) {
    if (!waitAll) {
        for (size_t i = 0; i < objects.size(); ++i) {
            if (objects[i]->TryAcquireLocked()) return WAIT_OBJECT_0 + static_cast<DWORD>(i);
        }
        return WAIT_TIMEOUT;
    }
    for (size_t taken = 0; taken < objects.size(); ++taken) {
        if (!objects[taken]->TryAcquireLocked()) {
            while (taken > 0) objects[--taken]->UndoAcquireLocked();
            return WAIT_TIMEOUT;
        }
    }
    return WAIT_OBJECT_0;
}

bool HasDuplicates(const std::vector<HANDLE>& objects) {
    std::vector<const void*> identities;
    identities.reserve(objects.size());
    for (const HANDLE& object : objects) identities.push_back(object->Identity());
    std::sort(identities.begin(), identities.end());
    return std::adjacent_find(identities.begin(), identities.end()) != identities.end();
}

}  // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

HANDLE CreateEventW(bool manualReset, bool initialState, const std::wstring& name, const NamedEventAccess& access) {
    // A POSIX semaphore cannot wake every waiter and stay set, so no named manual reset.
    if (name.empty() || manualReset) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateNamedEvent(name, initialState, &access);
}

HANDLE CreateEventW(bool manualReset, bool initialState, const std::wstring& name) {
    if (!name.empty()) {
        if (manualReset) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        return CreateNamedEvent(name, initialState, nullptr);
    }
    HANDLE event = std::make_shared<LocalEvent>(manualReset, initialState);
    // Callers test GetLastError() == ERROR_ALREADY_EXISTS after any CreateEventW; clear what an
    // earlier call left behind.
    SetLastError(ERROR_SUCCESS);
    return event;
}

bool SetEvent(const HANDLE& event) {
    EventObject* target = AsEvent(event);
    if (target == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    std::lock_guard<std::mutex> lock(detail::ObjectMutex());
    target->SetLocked();
    detail::WakeWaitersOfLocked(*target);
    return true;
}

bool ResetEvent(const HANDLE& event) {
    EventObject* target = AsEvent(event);
    if (target == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    std::lock_guard<std::mutex> lock(detail::ObjectMutex());
    target->ResetLocked();
    return true;
}

int EventDescriptor(const HANDLE& event) {
    if (AsEvent(event) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    auto* local = dynamic_cast<LocalEvent*>(event.get());
    if (local == nullptr || !local->ManualReset()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    int fd = -1;
    int error = 0;
    {
        std::lock_guard<std::mutex> lock(detail::ObjectMutex());
        fd = local->DescriptorLocked();
        error = errno;
    }
    if (fd < 0) {
        SetLastError(error == EMFILE || error == ENFILE ? ERROR_TOO_MANY_OPEN_FILES
                                                        : ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    return fd;
}

HANDLE CreateSemaphoreW(long initialCount, long maximumCount) {
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE semaphore = std::make_shared<Semaphore>(initialCount, maximumCount);
    SetLastError(ERROR_SUCCESS);
    return semaphore;
}

bool ReleaseSemaphore(const HANDLE& semaphore, long releaseCount, long* previousCount) {
    auto* target = dynamic_cast<Semaphore*>(semaphore.get());
    if (target == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (releaseCount <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard<std::mutex> lock(detail::ObjectMutex());
    if (!target->ReleaseLocked(releaseCount, previousCount)) {
        SetLastError(ERROR_TOO_MANY_POSTS);
        return false;
    }
    detail::WakeWaitersOfLocked(*target);
    return true;
}

DWORD WaitForSingleObject(const HANDLE& object, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &object, false, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, bool waitAll, DWORD milliseconds) {
    if (objects == nullptr || count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // Our own references keep every object alive for the whole wait, even when its owner
    // closes the handle meanwhile.
    std::vector<HANDLE> held(objects, objects + count);
    for (const HANDLE& object : held) {
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    if (waitAll && count > 1 && HasDuplicates(held)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }

    const bool anyShared =
        std::any_of(held.begin(), held.end(), [](const HANDLE& object) { return object->IsShared(); });
    if (count == 1 && anyShared) return static_cast<NamedEvent&>(*held.front()).WaitAlone(milliseconds);
    if (waitAll) {
        // The result of a wait for all does not depend on the order; see TryCompleteLocked.
        std::stable_partition(held.begin(), held.end(), [](const HANDLE& object) { return !object->IsShared(); });
    }

    using Clock = std::chrono::steady_clock;
    const bool forever = milliseconds == INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : milliseconds);

    std::unique_lock<std::mutex> lock(detail::ObjectMutex());
    detail::Sleeper sleeper{held, {}};
    // Listed before its first sleep, under the lock held since the first try: no signal is missed,
    // and a wait that completes at once (a zero time-out's look) lists nothing.
    std::optional<detail::SleeperListing> listing;
    for (;;) {
        const DWORD result = TryCompleteLocked(held, waitAll);
        if (result != WAIT_TIMEOUT) return result;
        const Clock::time_point now = Clock::now();
        if (!forever && now >= deadline) return WAIT_TIMEOUT;
        if (!listing) listing.emplace(sleeper);
        if (anyShared) {
            Clock::time_point wake = now + kSharedPollInterval;
            if (!forever) wake = std::min(wake, deadline);
            sleeper.wake.wait_until(lock, wake);
        } else if (forever) {
            sleeper.wake.wait(lock);
        } else {
            sleeper.wake.wait_until(lock, deadline);
        }
    }
}

bool CloseHandle(HANDLE& object) {
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    object.reset();
    return true;
}

std::uint64_t GetTickCount64() {
    timespec now{};
    // BOOTTIME rather than MONOTONIC: intervals measured across a suspend must include it.
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace platform
