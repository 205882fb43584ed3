// An owned file descriptor: closed exactly once, when its owner goes away or is given another
// descriptor. Every descriptor the daemon opens (sockets, the wake eventfd, the signalfd, file
// reads) lives in one of these, so no error path can leak or double-close one.
#pragma once

#include <unistd.h>

#include <utility>

namespace datasyncd {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }

    // Closes the held descriptor (if any) and holds `fd` instead.
    void Reset(int fd = -1) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

}  // namespace datasyncd
