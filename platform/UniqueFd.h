#pragma once

#include <unistd.h>

#include <utility>

// The one owner of a descriptor: closed when the owner goes, handed on with std::move. Any thread,
// each object on one at a time.
class CUniqueFd
{
public:
    CUniqueFd() = default;
    explicit CUniqueFd(int fd) : m_fd(fd) {}
    ~CUniqueFd() { Reset(); }
    CUniqueFd(CUniqueFd&& other) noexcept : m_fd(other.Release()) {}
    CUniqueFd& operator=(CUniqueFd&& other) noexcept
    {
        Reset(other.Release());
        return *this;
    }
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;

    int Get() const { return m_fd; }
    bool IsValid() const { return m_fd >= 0; }
    // Gives the descriptor up without closing it; the owner holds none then.
    int Release() { return std::exchange(m_fd, -1); }
    // Closes the descriptor held, if any, and takes fd. The close's result, 0 when none was held:
    // some file systems report a failed write only there.
    int Reset(int fd = -1)
    {
        const int held = std::exchange(m_fd, fd);
        return held >= 0 ? ::close(held) : 0;
    }

private:
    int m_fd = -1;
};
