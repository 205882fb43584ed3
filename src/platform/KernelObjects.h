// POSIX stand-ins for the kernel objects the agent waits on: manual- and auto-reset events,
// a counting semaphore with a maximum count, named cross-process events, and waiting for one
// or several of them with a time-out.
//
// The calls keep the shape and results of their Windows namesakes so that agent code reads
// like the algorithms it implements:
//   WaitForSingleObject(h, ms)  -> WAIT_OBJECT_0 | WAIT_TIMEOUT | WAIT_FAILED
//   WaitForMultipleObjects(n, handles, waitAll, ms)
//                               -> WAIT_OBJECT_0 + index | WAIT_TIMEOUT | WAIT_FAILED
// A successful wait consumes what it waited for: an auto-reset event is reset, a semaphore's
// count drops by one. A manual-reset event stays set until ResetEvent.
//
// Handles are reference counted: CloseHandle drops the caller's reference, and the object
// lives on while another holder (for example a thread blocked in a wait) still has one.
//
// Named events: "Global\\Name" (or plain "Name") maps to the POSIX named semaphore
// "/datasync.Name", shared with other processes, with auto-reset semantics: SetEvent makes the
// count 1 (never more), a wait takes it back to 0. Named events may be mixed with in-process
// objects in WaitForMultipleObjects; such a wait looks at the named ones every few milliseconds.
// A new named event is private to the user of the process that makes it (mode 0600), or shared
// with one peer user through the peer's group (0660) when a NamedEventAccess names it; see there
// what becomes of one that exists already.
//
// A wait that must also watch descriptors (a poll on sockets, inotify, ...) polls an in-process
// manual-reset event through EventDescriptor.
//
// Thread safety: every function may be called from any thread on the same handle.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class KernelObject;
using HANDLE = std::shared_ptr<KernelObject>;
using DWORD = std::uint32_t;

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// Last-error codes (per thread), as set by the calls below.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;     // OpenEventW: no such named event
constexpr DWORD ERROR_ACCESS_DENIED = 5;      // named object exists but may not be opened
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_INVALID_HANDLE = 6;     // null handle or wrong kind of object
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;   // CreateEventW of a name that exists: handle is valid
constexpr DWORD ERROR_TOO_MANY_POSTS = 298;   // ReleaseSemaphore past the maximum count

DWORD GetLastError();
void SetLastError(DWORD code);

// Events. `name` empty: an unnamed in-process event. Returns null on failure (see GetLastError).
// A named one that exists already is opened whoever made it.
HANDLE CreateEventW(bool manualReset, bool initialState, const std::wstring& name = L"");

// Who may use a named event besides the user of the process that makes it.
struct NamedEventAccess {
    bool hasPeer = false;
    uid_t peerUid = 0;  // the one other user (for the service: the logged-on user)
    gid_t peerGid = 0;  // the group through which the peer has access
};
// A named event as CreateEventW makes it, with `access` deciding who may use it: a new one is
// 0600, or 0660 with the peer's group. One that exists is used only when this process's user or
// the peer owns it: one of this user's gets the group and mode of a new one, one of the peer's is
// taken over (made this user's, with the peer's group, 0660). One of any other owner is not used:
// null, ERROR_ACCESS_DENIED.
HANDLE CreateEventW(bool manualReset, bool initialState, const std::wstring& name, const NamedEventAccess& access);
// Opens an existing named event; null (ERROR_FILE_NOT_FOUND) when none exists.
HANDLE OpenEventW(const std::wstring& name);
bool SetEvent(const HANDLE& event);
bool ResetEvent(const HANDLE& event);

// A descriptor that polls readable (POLLIN) exactly while `event`, an in-process manual-reset
// event, is set, so that one poll can wait for the event and for other descriptors. The event
// owns it: made on the first call (an event nobody polls has none), the same one on every later
// call, closed with the event's last handle. Valid while the caller holds a handle to the event;
// the caller only polls it (never reads, writes or closes it). -1 on failure: a null handle or no
// event (ERROR_INVALID_HANDLE), an auto-reset or named event, whose signal a poll cannot take
// (ERROR_INVALID_PARAMETER), or no descriptor to be had (ERROR_TOO_MANY_OPEN_FILES,
// ERROR_NOT_ENOUGH_MEMORY).
int EventDescriptor(const HANDLE& event);

// Counting semaphore: count starts at `initialCount`, never exceeds `maximumCount`.
HANDLE CreateSemaphoreW(long initialCount, long maximumCount);
// Adds `releaseCount`; fails (false, ERROR_TOO_MANY_POSTS, count unchanged) when the result
// would pass the maximum. `previousCount` may be null.
bool ReleaseSemaphore(const HANDLE& semaphore, long releaseCount, long* previousCount);

DWORD WaitForSingleObject(const HANDLE& object, DWORD milliseconds);
// waitAll false: returns as soon as one object is signalled and consumes only that one (the
// lowest index wins when several are). waitAll true: returns when all are signalled at the
// same moment and consumes all of them together.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, bool waitAll, DWORD milliseconds);

// Drops this reference; `object` becomes null. Returns false for a null handle.
bool CloseHandle(HANDLE& object);

// Milliseconds since system start (CLOCK_BOOTTIME): counts while suspended, never goes back.
std::uint64_t GetTickCount64();

// Removes the POSIX object behind a named event (tests and uninstall); true when it existed.
bool UnlinkNamedEvent(const std::wstring& name);

}  // namespace platform
