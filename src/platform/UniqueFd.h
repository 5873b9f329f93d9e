#pragma once
// Owns one file descriptor and closes it on every path out, so that an early return cannot
// leak it. Moves hand the descriptor on; copies are not allowed.

#include <unistd.h>

#include <utility>

namespace tarvok::platform {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return m_fd; }
    bool valid() const noexcept { return m_fd >= 0; }
    // Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(m_fd, -1); }
    // Closes the descriptor held (Linux releases it even when close() reports an error, so
    // it is never retried) and takes fd in its place.
    void reset(int fd = -1) noexcept {
        const int old = std::exchange(m_fd, fd);
        if (old >= 0 && old != fd)
            ::close(old);
    }

private:
    int m_fd = -1;
};

} // namespace tarvok::platform
