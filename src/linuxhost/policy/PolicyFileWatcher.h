// Watches the policy file and announces each change of its content on the notification bus
// (topic 4 "telemetry policy", state 14 "policy changed"), upon which the agent restarts with
// the new policy.
//
// A look reads the file named by the host settings (policy_file, read at each look) and compares
// a hash of the file's bytes with that of the content it last announced, so a write that leaves
// the content as it was (a touch, a rewrite of the same text) publishes nothing, and a change
// publishes once however long it stays. A missing or unreadable file counts as empty content.
// The first look, taken in the constructor, only records.
//
// The watcher's thread looks when the file's folder reports a change of the file (written in
// place, replaced by a rename, deleted, created; see FileWatcher), and sleeps otherwise. When the
// file is a symbolic link, the folder of the file it leads to is watched as well. A folder that
// does not exist yet is looked for every period (at least every half second) until it does.
//
// A settled new content is first handed to `reload` (when given): the policy service reads it
// then, and a content it cannot use is not announced (the agent keeps the policy it has).
//
// A new content is announced once two looks in a row, at least `period` apart, have seen it. A
// writer that does not replace the file atomically can be caught half-way, and announcing that
// would restart the agent on a broken policy; waiting for the content to settle costs one period
// of delay. So the thread's looks are at least a period apart, and a look that sees a new content
// is followed by another one a period later. A content that reverts before it settles is never
// announced.
//
// Lifetime: the constructor starts watching and the watcher's thread; Stop() ends both (safe
// twice, from any thread but the watcher's own); the destructor calls Stop().
// Thread safety: CheckOnce, Stop and LookCount may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ZEL {

class FileWatcher;

namespace linuxhost {

class PolicyFileWatcher {
public:
    // `reload` reads the settled new content into the policy service; false: not usable.
    explicit PolicyFileWatcher(std::chrono::milliseconds period = std::chrono::seconds(1),
                               std::function<bool()> reload = nullptr);
    ~PolicyFileWatcher();
    PolicyFileWatcher(const PolicyFileWatcher&) = delete;
    PolicyFileWatcher& operator=(const PolicyFileWatcher&) = delete;

    // One look: publishes when the content differs from the one announced last and the
    // previous look saw the same new content. True when it published. The thread calls this
    // when the file changed, and a period after a look that saw a new content.
    bool CheckOnce();

    void Stop();

    // Looks taken so far, the constructor's included (lets callers wait for a later look).
    std::uint64_t LookCount() const { return m_looks.load(); }

private:
    using Clock = std::chrono::steady_clock;

    struct Fingerprint {
        std::uint64_t size = 0;
        std::uint64_t hash = 0;
        bool operator==(const Fingerprint& other) const { return size == other.size && hash == other.hash; }
    };
    // What is watched for a policy_file setting: the file's folder and name, and those of the
    // file it leads to when it is a symbolic link.
    struct Watched {
        std::string path;    // the setting
        std::string target;  // the resolved file when elsewhere, else empty
        bool operator==(const Watched& other) const { return path == other.path && target == other.target; }
    };

    static Fingerprint TakeFingerprint(const std::string& path);
    static Watched WhatToWatch(const std::string& path);
    // Makes the watchers for `watched`. Called before the thread starts, and on the thread.
    void Watch(const Watched& watched);
    void OnFileChanged();
    void Run();

    const std::chrono::milliseconds m_period;
    const std::function<bool()> m_reload;

    std::mutex m_lookMutex;   // serialises looks; guards the three members below
    Fingerprint m_announced;  // the content announced last (or recorded by the first look)
    Fingerprint m_pending;    // a new content seen by the previous look, when m_hasPending
    bool m_hasPending = false;
    std::atomic<std::uint64_t> m_looks{0};

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;                        // guarded by m_mutex
    bool m_changed = false;                         // guarded by m_mutex: a watcher reported the file
    Clock::time_point m_lastLook;                   // guarded by m_mutex
    std::optional<Clock::time_point> m_settleLook;  // guarded by m_mutex: the look a new content awaits
    Watched m_watched;                              // guarded by m_mutex: what m_watchers watch

    // Owned by the thread once it runs; Stop destroys them after joining it.
    std::vector<std::unique_ptr<FileWatcher>> m_watchers;

    std::mutex m_joinMutex;
    std::thread m_thread;
};

}  // namespace linuxhost
}  // namespace ZEL
