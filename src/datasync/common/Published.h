// Published<T>: a value a component publishes whenever its state changes, for readers that
// must never wait for the component (the status of the control socket). Publishing swaps in a
// fresh immutable copy; reading takes a reference to the current one.
//
// Thread safety: any thread may publish or read; the internal mutex is held only for the
// pointer swap or copy, never across anything else.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace ZEL {
namespace DataSync {

template <typename T>
class Published {
public:
    Published() : m_value(std::make_shared<const T>()) {}

    void Publish(T value) {
        auto fresh = std::make_shared<const T>(std::move(value));
        std::lock_guard<std::mutex> lock(m_mutex);
        m_value.swap(fresh);
    }

    std::shared_ptr<const T> Read() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_value;
    }

private:
    mutable std::mutex m_mutex;
    std::shared_ptr<const T> m_value;  // guarded by m_mutex; never null
};

}  // namespace DataSync
}  // namespace ZEL
