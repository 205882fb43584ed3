// Installs a log sink factory that keeps every line in memory, for tests that check what was
// logged, and that can hold each thread writing a chosen line until the test lets it go on. The
// previous factory is not restored (none is installed in test binaries).
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "datasync/host/Log.h"

namespace testsupport {

class LogCapture {
public:
    struct Line { std::string file; ZEL::LogLevel level; std::string text; };

    LogCapture() {
        ZEL::utility::SetLogSinkFactory([state = m_state](const std::wstring& fileName) {
            return std::make_shared<Sink>(state, ZEL::String::UTF16ToUTF8(fileName));
        });
    }
    ~LogCapture() { ZEL::utility::SetLogSinkFactory(nullptr); }

    std::vector<Line> Lines() const {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        return m_state->lines;
    }
    // True when some line (of `file`, when given) contains `fragment`.
    bool Contains(const std::string& fragment, const std::string& file = "") const {
        for (const Line& line : Lines())
            if ((file.empty() || line.file == file) && line.text.find(fragment) != std::string::npos) return true;
        return false;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->lines.clear();
    }
    // From now on a thread writing a line that contains one of `fragments` waits there until
    // HoldAt({}) lets every held thread go on.
    void HoldAt(std::vector<std::string> fragments) {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->holdAt = std::move(fragments), m_state->held = 0;
        m_state->changed.notify_all();
    }
    bool WaitUntilHeld() {
        std::unique_lock<std::mutex> lock(m_state->mutex);
        return m_state->changed.wait_for(lock, std::chrono::seconds(5), [this] { return m_state->held > 0; });
    }

private:
    struct State { std::mutex mutex; std::condition_variable changed; std::vector<Line> lines;
                   std::vector<std::string> holdAt; int held = 0; };  // held: threads held at holdAt
    struct Sink : ZEL::LogSink {
        Sink(std::shared_ptr<State> state, std::string file) : state(std::move(state)), file(std::move(file)) {}
        bool Enabled(ZEL::LogLevel) const override { return true; }
        void Write(ZEL::LogLevel level, const std::string& text) override {
            std::unique_lock<std::mutex> lock(state->mutex);
            state->lines.push_back({file, level, text});
            const auto hold = [&text](const std::string& fragment) { return text.find(fragment) != std::string::npos; };
            if (!std::any_of(state->holdAt.begin(), state->holdAt.end(), hold)) return;
            ++state->held, state->changed.notify_all();
            state->changed.wait(lock, [this] { return state->holdAt.empty(); });
        }
        std::shared_ptr<State> state;
        std::string file;
    };

    std::shared_ptr<State> m_state = std::make_shared<State>();
};

}  // namespace testsupport
