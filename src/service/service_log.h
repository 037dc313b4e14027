#pragma once

#include <QLoggingCategory>

namespace qor::service {
Q_DECLARE_LOGGING_CATEGORY(lcService)
}
