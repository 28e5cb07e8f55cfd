#pragma once

#include <QAtomicInt>
#include <QThread>
#include <memory>

// Once-only, thread-safe creation of a process-wide object. The first caller
// creates it; a caller that finds creation in progress on another thread
// yields until it is finished. A static owner deletes the object at process
// exit. The object has no parent.
template <typename T>
class ProcessWide
{
public:
    static T* instance()
    {
        enum { Empty = 0, Creating = 1, Ready = 2 };
        if (s_state.loadAcquire() != Ready) {
            if (s_state.testAndSetOrdered(Empty, Creating)) {
                owner().reset(new T());
                s_state.storeRelease(Ready);
            } else {
                while (s_state.loadAcquire() != Ready)
                    QThread::yieldCurrentThread();
            }
        }
        return owner().get();
    }

private:
    static std::unique_ptr<T>& owner()
    {
        static std::unique_ptr<T> s_owner;
        return s_owner;
    }

    static QAtomicInt s_state;
};

template <typename T>
QAtomicInt ProcessWide<T>::s_state;
