#pragma once

#include <QLoggingCategory>

// Log category of the content access code: archive readers and the
// stored-value cipher.
Q_DECLARE_LOGGING_CATEGORY(lcContent)
