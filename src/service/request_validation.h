#pragma once

#include "tunnel/platform/vpn_profile.h"

#include <QString>

#include <variant>

namespace qor::service {

// Checks of everything a caller hands the service over the bus: kinds, sizes and
// counts, before anything is stored or acted upon. Errors are Russian texts.
namespace request_validation {

inline constexpr int maxConfigurations = 64;
inline constexpr int maxConfigurationBytes = 64 * 1024;
inline constexpr int maxDescriptionLength = 256;
inline constexpr int maxOnDemandRules = 8;
inline constexpr int maxBypassAddresses = 256;

// One of the two providers this service stands for.
bool isProviderIdentifier(const QString &identifier);

// A profile document of SaveProfile: a JSON object in the stored form of a profile
// whose protocol names one of the two providers, with an empty or well-formed id.
std::variant<VpnProfile, QString> profileDocument(const QString &document);

} // namespace request_validation
} // namespace qor::service
