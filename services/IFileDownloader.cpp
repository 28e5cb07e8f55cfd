#include "IFileDownloader.h"

IFileDownloader::IFileDownloader(QObject* parent)
    : QObject(parent)
{
    // The error signal carries the network layer's enum; register it so
    // that spies and queued connections can hold it.
    qRegisterMetaType<QNetworkReply::NetworkError>("QNetworkReply::NetworkError");
}

IFileDownloader::~IFileDownloader() = default;
