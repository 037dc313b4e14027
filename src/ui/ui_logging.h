#pragma once

#include <QLoggingCategory>

namespace qor {
Q_DECLARE_LOGGING_CATEGORY(lcUi)
}
