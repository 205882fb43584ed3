// Private to src/platform: the objects behind HANDLE.
//
// Every in-process object keeps its state under one process-wide mutex, and every change that
// may end a wait wakes the waits on that object (KernelObjects.cpp lists them). With a single
// lock a wait on several objects, even "all of them at once", is a plain predicate check: no
// lost wake-ups, no lock ordering between objects, and consuming several objects together is
// trivially atomic. The agent owns a handful of objects and waiting threads, so the shared lock
// is cheap.
//
// Named events live in the kernel as POSIX semaphores that other processes change without
// telling us; waits that include one look at it every few milliseconds (see IsShared()).
#pragma once

#include <semaphore.h>

#include <memory>
#include <mutex>
#include <string>

#include "platform/KernelObjects.h"

namespace platform {
namespace detail {

// The lock over all in-process object state.
std::mutex& ObjectMutex();

}  // namespace detail

class KernelObject {
public:
    virtual ~KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    // Takes the object's signal when it has one now: an auto-reset event is reset, a
    // semaphore's count drops by one, a manual-reset event is left as it is.
    // REQUIRES: detail::ObjectMutex() held.
    virtual bool TryAcquireLocked() = 0;
    // Gives back what the last successful TryAcquireLocked took; a wait for all objects uses
    // it when it cannot take every one of them.
    // REQUIRES: detail::ObjectMutex() held, and still held since that TryAcquireLocked.
    virtual void UndoAcquireLocked() = 0;

    // True when other processes can signal the object, so nothing wakes a wait on it.
    virtual bool IsShared() const { return false; }
    // Two handles with the same identity are the same object (a wait for all must not count
    // one object twice).
    virtual const void* Identity() const { return this; }

protected:
    KernelObject() = default;
};

// What SetEvent and ResetEvent accept.
class EventObject : public KernelObject {
public:
    // REQUIRES: detail::ObjectMutex() held.
    virtual void SetLocked() = 0;
    virtual void ResetLocked() = 0;
};

// An auto-reset event shared with other processes through a POSIX named semaphore whose value
// is kept at 0 (reset) or 1 (set).
class NamedEvent final : public EventObject {
public:
    struct SemaphoreCloser {
        void operator()(sem_t* semaphore) const;
    };
    using SemaphorePtr = std::unique_ptr<sem_t, SemaphoreCloser>;

    explicit NamedEvent(SemaphorePtr semaphore) : m_semaphore(std::move(semaphore)) {}

    bool TryAcquireLocked() override;
    void UndoAcquireLocked() override;
    bool IsShared() const override { return true; }
    // glibc maps a named semaphore once per process, so handles opened by the same name share
    // the sem_t; a name unlinked and created again gets a new one, as it is a new object.
    const void* Identity() const override { return m_semaphore.get(); }

    void SetLocked() override;
    void ResetLocked() override;

    // A wait on this event alone blocks in the kernel instead of polling. Does not need the
    // object mutex. Returns WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED (last error set).
    DWORD WaitAlone(DWORD milliseconds);

private:
    SemaphorePtr m_semaphore;
};

// CreateEventW for a name (auto-reset only; the caller has checked that). Sets the last error
// as CreateEventW describes. `access` null: an existing event is opened whoever made it.
HANDLE CreateNamedEvent(const std::wstring& name, bool initialState, const NamedEventAccess* access);

}  // namespace platform
