#pragma once

#include <QObject>

// Tells the documents what kind of platform they run on.
class StateManager : public QObject
{
    Q_OBJECT
public:
    StateManager() = default;

    static StateManager* instance();

    // This shell is a desktop program; the documents pick the desktop view.
    Q_INVOKABLE bool isMobile() const { return false; }
};
