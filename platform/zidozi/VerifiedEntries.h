#pragma once

#include <QAtomicInt>
#include <memory>

namespace zidozi {

// One flag per index record of a loaded archive: set once an entry's content
// has been read to its end and matched its CRC-32. Devices of later reads of
// that entry trust the check and skip the CRC, which otherwise costs about
// as much as reading the bytes from the page cache. Shared by the archive and
// its devices (which may outlive it); the flags are atomic because devices
// on several threads set and test them.
class VerifiedEntries
{
public:
    explicit VerifiedEntries(size_t count)
        : m_flags(new QAtomicInt[count])
        , m_count(count)
    {
    }

    bool isVerified(size_t index) const { return index < m_count && m_flags[index].loadAcquire() != 0; }
    void setVerified(size_t index)
    {
        if (index < m_count)
            m_flags[index].storeRelease(1);
    }

private:
    std::unique_ptr<QAtomicInt[]> m_flags;
    size_t m_count;
};

} // namespace zidozi
