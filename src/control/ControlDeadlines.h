// How long an accepted control connection may stay silent before it has
// shown itself a broker, both counted from the accept: its TLS handshake must
// be done within `handshake`, its first complete message must have arrived
// within `first_message`. After that message it may idle as long as it likes.
#pragma once

#include <chrono>

namespace vexa {

struct ControlDeadlines {
    std::chrono::milliseconds handshake{std::chrono::seconds(10)};
    std::chrono::milliseconds first_message{std::chrono::seconds(30)};
};

}  // namespace vexa
