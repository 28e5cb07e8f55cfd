#pragma once

#include "BaseHandler.h"

class QWebEngineUrlRequestJob;
class ServingGuard;

// Answers "dazuzo" requests from the content archive. Audio and video
// entries are copied to temporary files and the request is redirected there,
// so that the media player can seek in them. Runs on the interface thread.
class ZipHandler : public BaseHandler
{
    Q_OBJECT
public:
    explicit ZipHandler(ServingGuard* guard);

    void requestStarted(QWebEngineUrlRequestJob* job) override;

private:
    void replyWithEntry(QWebEngineUrlRequestJob* job, const QString& entryPath, const QString& mimeName);
    void redirectToTemporaryCopy(QWebEngineUrlRequestJob* job, const QString& path);

    ServingGuard* m_guard;
};
