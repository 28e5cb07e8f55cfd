#pragma once

#include <QString>
#include <QVariantMap>

// Copies one item the way the page's fsItemsCopy does. The scheme handler
// uses it to turn archive media into temporary copies; the command
// dispatcher implements it.
class ItemCopier
{
public:
    virtual ~ItemCopier() = default;

    // Returns 0 on success and puts "filepath" (and the other result fields)
    // into `result`; otherwise a copy result code.
    virtual int copyItem(const QString& registryKey, const QString& from, const QString& to,
                         const QString& location, const QString& type, QVariantMap& result) = 0;
};
