// The saved VPN profile documents of the profile service.

#include "fuzz_support.h"

#include "tunnel/platform/vpn_profile.h"

#include <QJsonDocument>

using namespace qor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // As the profile service reads a document: whatever does not decode is an empty object.
    const QJsonObject object = QJsonDocument::fromJson(fuzz::bytes(data, size)).object();
    const auto profile = VpnProfile::fromJson(object);
    if (!profile)
        return 0;
    const QByteArray saved = QJsonDocument(profile->toJson()).toJson(QJsonDocument::Compact);
    QOR_FUZZ_CHECK(VpnProfile::fromJson(QJsonDocument::fromJson(saved).object()) == profile);
    return 0;
}
