#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace zidozi {

class Archive;

// One file of a zidozi archive, as found by Archive::find(). A plain value:
// it refers to nothing that its archive or a device needs after it is gone.
class Entry
{
public:
    enum Method : quint8 { Stored = 0, Deflated = 8 };

    Entry();
    ~Entry();
    Entry(const Entry&) = default;
    Entry& operator=(const Entry&) = default;

    // True exactly when the archive holds a file under the path looked up.
    bool isValid() const { return m_valid; }

    QByteArray name() const { return m_name; }
    // Bytes of the entry's content.
    quint64 size() const { return m_size; }
    // Bytes the entry takes in the archive file.
    quint64 storedSize() const { return m_storedSize; }
    Method method() const { return Method(m_method); }
    quint32 crc() const { return m_crc; }

private:
    friend class Archive;
    friend class EntryDevice;

    bool m_valid = false;
    quint8 m_method = Stored;
    quint32 m_crc = 0;
    quint32 m_index = 0; // position of its record in the archive's index
    quint64 m_dataOffset = 0;
    quint64 m_storedSize = 0;
    quint64 m_size = 0;
    QByteArray m_name;
};

} // namespace zidozi
