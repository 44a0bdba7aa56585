#include "app/sessionlog.h"

Q_LOGGING_CATEGORY(lcSession, "vintra.session", QtInfoMsg)
