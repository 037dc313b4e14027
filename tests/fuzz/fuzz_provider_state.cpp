// The state document a tunnel provider publishes in the runtime folder.

#include "fuzz_support.h"

#include "tunnel/platform/provider_state.h"

using namespace qor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto state = ProviderState::parse(fuzz::bytes(data, size));
    if (!state)
        return 0;
    QOR_FUZZ_CHECK(state->pid >= 1);
    QOR_FUZZ_CHECK(isValidVpnStatus(int(state->status)));
    const auto again = ProviderState::parse(state->toJson());
    QOR_FUZZ_CHECK(again.has_value());
    QOR_FUZZ_CHECK(again->profileId == state->profileId);
    QOR_FUZZ_CHECK(again->providerIdentifier == state->providerIdentifier);
    QOR_FUZZ_CHECK(again->pid == state->pid);
    QOR_FUZZ_CHECK(again->startTime == state->startTime);
    QOR_FUZZ_CHECK(again->status == state->status);
    QOR_FUZZ_CHECK(again->interfaceName == state->interfaceName);
    return 0;
}
