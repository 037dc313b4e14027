#pragma once

#include <QString>

namespace qor {

// Narrows a folder of the current user that is open to others (left by an older
// version, a copy, or made by hand) to 0700, before secrets are written into it.
// A symbolic link, a folder of another user and a shared sticky folder such as /tmp
// are never touched. True when the folder is private afterwards.
bool narrowPrivateFolder(const QString &path);

} // namespace qor
