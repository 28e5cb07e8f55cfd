#include "ContentLog.h"

Q_LOGGING_CATEGORY(lcContent, "content")
