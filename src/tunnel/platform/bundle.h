#pragma once

#include <QString>

#include <optional>

namespace qor::bundle {

// The application bundle: a folder tree that keeps the relative paths of the
// original product ("Contents/Resources/kvb-client",
// "Contents/Library/SystemExtensions/<identifier>.systemextension/Contents/Info.plist").
//
// Its root is QOR_BUNDLE_DIR when set, else "../lib/qor-connect" beside the running
// executable when that exists (an installed copy), else the tree the build produced.
QString rootDirectory();

// "../lib/qor-connect/demo" beside the running executable when that exists: an
// installed copy's bundle of simulated providers and the stand-in Tavrin client,
// used by the demo only. Empty otherwise.
QString installedDemoDirectory();

// The bundle's identifier (CFBundleIdentifier of "Contents/Info.plist"), or absent.
std::optional<QString> mainBundleIdentifier();

// mainBundleIdentifier(), or "com.qorvpn.connect.mac" when the bundle has none.
QString applicationIdentifier();

// "<root>/Contents/Library/SystemExtensions".
QString systemExtensionsDirectory();

// "<root>/Contents/Resources/<name>".
QString resourcePath(const QString &name);

// "<SystemExtensions>/<identifier>.systemextension".
QString extensionBundlePath(const QString &identifier);

// The executable of an extension bundle: "Contents/MacOS/" + its CFBundleExecutable.
std::optional<QString> extensionExecutable(const QString &identifier);

// A string under key in the top-level dictionary of an XML property list; absent
// when the file cannot be read as a dictionary or holds no string there.
std::optional<QString> plistString(const QString &plistPath, const QString &key);

} // namespace qor::bundle
