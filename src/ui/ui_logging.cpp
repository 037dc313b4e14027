#include "ui_logging.h"

namespace qor {
Q_LOGGING_CATEGORY(lcUi, "com.qorvpn.connect.ui", QtInfoMsg)
}
