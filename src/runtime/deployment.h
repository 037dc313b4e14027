#pragma once

#include <QString>
#include <QStringList>

namespace qor::deployment {

// Deployment values fixed at build time, each overridable through one environment
// variable so that the demo, the tests and people diagnosing a machine can point
// the program elsewhere without rebuilding.

QString apiBase();          // QOR_API_BASE; ends in "/api/auth/"
QString deepLinkBase();     // QOR_DEEPLINK_BASE
QStringList probeUrls();    // QOR_PROBE_URLS, comma-separated
QString traceDirectory();   // QOR_TRACE_DIR
QString bundleDirectory();  // QOR_BUNDLE_DIR; empty when not set (the installer decides)
QString updateFeed();
QString version();

} // namespace qor::deployment
