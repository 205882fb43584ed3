// Writes telemetry rows without pause, as collecting components do while the agent runs: a
// thread adds one item-event row to each item dataset of a list every `pace` (row n carries the
// dataset's ItemId(n)), until Stop. Used by the crash test and the soak.
//
// Thread safety: Start and Stop from the owning thread; Written from any thread. Its thread waits
// only for its pace and for SQLite; Stop waits for the row being written.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "datasyncctl/DemoFiles.h"

namespace datasyncctl {

class RowStream {
public:
    // Rows go to `folder` + DatabaseFile() of each dataset that is not the device context; their
    // device context id is `deviceContextId`.
    RowStream(std::string folder, std::vector<DemoDataset> datasets, std::string deviceContextId,
              std::chrono::milliseconds pace);
    ~RowStream() { Stop(); }
    RowStream(const RowStream&) = delete;
    RowStream& operator=(const RowStream&) = delete;

    void Start();
    // Ends the thread after the rows it is writing; returns the error that ended it early, if any
    // (the file and what went wrong), or an empty text.
    std::string Stop();
    // Rows in each item dataset so far.
    int Written() const { return m_written.load(); }

private:
    void Write();

    const std::string m_folder;
    const std::vector<DemoDataset> m_datasets;
    const std::string m_deviceContextId;
    const std::chrono::milliseconds m_pace;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<int> m_written{0};
    std::string m_error;  // written by the thread before it ends, read after the join
};

}  // namespace datasyncctl
