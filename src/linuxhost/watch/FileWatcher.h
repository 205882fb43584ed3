// The Linux host's file watcher and periodic timer, handed to the module through HostWatching.
//
// Watches a folder for changes of a list of database files and calls back with the changed
// file's full path (folder + name).
//
// A change of "<name>-wal" counts as a change of "<name>" (a writer in WAL mode touches only
// the sidecar until a checkpoint). A listed file created, or replaced by a rename, counts as
// changed. "-shm" and "-journal" files are ignored. Bursts of changes of one file within
// 100 ms are reported once: the first change opens a 100 ms window and the file is reported
// when it closes, so a report comes at most about 100 ms after a change. A change seen after
// a report has started (also one made during the callback) opens a new window: the last change
// of a burst is always followed by a report, and steady writes are reported every ~100 ms.
//
// Lifetime: the watcher runs a thread of its own from construction; the callback runs on that
// thread. Destruction stops and joins it, waiting for a callback in progress (also when the
// stop event is set first); changes not yet reported are dropped. A callback may destroy its
// own watcher. The folder need not exist at construction; it is watched once it appears (also
// after it is deleted): the thread waits for it on its nearest existing ancestor, and looks for
// it every `retry` only where no ancestor can be watched. Listed files found then are reported
// once, since their changes before the watch raised no events.
//
// While the folder is watched and no report is due, the thread sleeps until something happens:
// a write to a listed file or its -wal file, an entry of the folder created, renamed or deleted,
// the stop event, or destruction. Writes to the folder's other files do not wake it.
#pragma once

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "platform/KernelObjects.h"

namespace ZEL {

struct FileWatcherOptions {
    // How often a missing folder is looked for when none of its ancestors can be watched.
    std::chrono::milliseconds retry{500};
    // Also report a listed file deleted or renamed away, and every listed file when the folder
    // goes away and when it is watched again (for a watcher that reads what is there, or that it
    // is gone, rather than only new writes).
    bool reportRemoval = false;
};

class FileWatcher {
public:
    using Callback = std::function<void(const std::wstring& fullPath)>;

    // `flag` is accepted for compatibility and not used; `stopEvent` (may be null) ends the
    // watching early when set. It should be an in-process manual-reset event: the thread polls
    // it through its descriptor (platform::EventDescriptor). Any other event is looked at with a
    // zero wait about every second instead, which would consume an auto-reset event's signal.
    // Exceptions thrown by the callback are logged to host.log; watching goes on.
    FileWatcher(const std::wstring& folder, const std::list<std::wstring>& fileNames, Callback callback,
                bool flag, platform::HANDLE stopEvent, FileWatcherOptions options = {});
    ~FileWatcher();
    FileWatcher(const FileWatcher&) = delete;
    FileWatcher& operator=(const FileWatcher&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Calls its callback at once (after `initialDelay`) and then every `period`, on a thread of
// its own, until destroyed. Each period is measured from the start of the previous call: a
// slow callback delays the next call, calls never overlap and missed periods are not made up.
// Exceptions from the callback are logged to host.log. Destruction interrupts the wait and
// joins the thread (waiting for a call in progress); destroying the timer from inside its own
// callback is allowed (the thread then ends after the callback).
class PeriodicTimer {
public:
    using Callback = std::function<void(const std::wstring& name)>;

    PeriodicTimer(std::chrono::milliseconds period, std::chrono::milliseconds initialDelay, std::wstring name,
                  Callback callback);
    ~PeriodicTimer();
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;

private:
    struct Impl;
    std::shared_ptr<Impl> m_impl;
};

}  // namespace ZEL
