// An owned file descriptor: closed exactly once, when its owner goes away or is given another
// descriptor. Every descriptor the host and the programs open (sockets, eventfds, inotify and
// signal fds, files being read or written) lives in one of these, so no error path can leak or
// double-close one. A caller that must see close's own result (a late write error) takes the
// descriptor back with release() and closes it itself.
//
// Thread safety: none; one owner at a time. Move-only: a moved-from UniqueFd holds nothing.
#pragma once

#include <unistd.h>

#include <utility>

namespace platform {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    // The held descriptor, or -1.
    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

    // Gives up ownership without closing: the caller closes the returned descriptor.
    int release() { return std::exchange(m_fd, -1); }

    // Closes the held descriptor (if any) and holds `fd` instead.
    void reset(int fd = -1) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

}  // namespace platform
