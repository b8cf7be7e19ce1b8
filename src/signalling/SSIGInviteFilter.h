// What the gateway changes in a client's INVITE before the server sees it:
// options nobody downstream may see are dropped, encryption offers the
// gateway cannot relay are withdrawn with their key material, and the UDP
// encapsulation capability is pinned to the one mode the relay speaks.
//
// Threads: built from the configuration on the calling thread; apply()
// touches only the map it is given, so one filter may serve any thread.
#pragma once

#include "Log.h"
#include "SSIGMap.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vexa {

class SSIGInviteFilter {
public:
    // disable_aes128gcm: DisableAES128GCM == "1"; session_options: the text of
    // FilterSessionOptions (blank-separated four-character element codes).
    SSIGInviteFilter(bool disable_aes128gcm, const std::string& session_options);
    // From the current configuration.
    static SSIGInviteFilter from_config();

    // Filters invite in place; true when the client offers UDP encapsulation.
    bool apply(ssig::SSIGMap& invite) const;

private:
    bool disable_aes128gcm;
    // Session options to erase: the token and its element type.
    std::vector<std::pair<std::string, uint32_t>> options;
    mutable logger_t lg;
};

}  // namespace vexa
