// Function types that join the two signalling legs, the no-op functions a
// stopped leg swaps in, and the timings a leg can be built with.
//
// Threads: plain types and stateless functions; no locks.
#pragma once

#include "SSIGMap.h"
#include "vexa_xml.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/system/error_code.hpp>
#include <openssl/x509.h>

#include <functional>
#include <memory>

namespace vexa {

// Completion of one frame written towards a peer.
using ssig_complete_handler_t = std::function<void(const boost::system::error_code&)>;
// Passes a stanza text to the other leg (the text is copied before the call returns).
using ssig_xml_forwarder_t =
    std::function<void(const char* xml, eVEXA_XML_TYPE type, ssig_complete_handler_t completion)>;
// Passes a TLV map to the other leg (the map is copied before the call returns).
using ssig_ksdp_forwarder_t =
    std::function<void(const ssig::SSIGMap& map, ssig_complete_handler_t completion)>;

// Non-empty functions that do nothing: what a stopped leg holds instead of
// its completion and forwarders, so a late call is harmless.
void empty_ssig_complete_handler(const boost::system::error_code& ec);
void empty_xml_forwarder(const char* xml, eVEXA_XML_TYPE type, ssig_complete_handler_t completion);
void empty_ksdp_forwarder(const ssig::SSIGMap& map, ssig_complete_handler_t completion);

// A certificate reference shared across legs: taken with X509_up_ref under
// the owner's lock, released by whoever holds the copy.
struct X509Release {
    void operator()(X509* x) const { X509_free(x); }
};
using x509_ref = std::unique_ptr<X509, X509Release>;

// What the signalling server made of a client's HELLO, checked against the
// session filed under its session id before anything of the session is touched.
enum class HelloAdmission {
    ADMITTED,         // verified: the leg now holds the session's turn
    UNKNOWN_SESSION,  // nothing filed under the id (or nothing left to restart)
    NOT_VERSION_1,    // the filed ctag is not a version-1 tag
    INVALID,          // the HELLO does not verify against the session's rtag
    STOPPED,          // the leg was stopped meanwhile
};

// Why a client leg was closed at one of its deadlines.
enum class ClientDeadline { WITHOUT_TLS, WITHOUT_FIRST_FRAME, AFTER_FAIL };

// Waits of a leg; the defaults are the production values.
struct SSIGLegTimings {
    // The client leg's wait for its server leg's TLS after a HELLO.
    boost::posix_time::time_duration hello_wait = boost::posix_time::seconds(30);
    // A client leg must complete its TLS handshake this long after its
    // accept, and deliver its first complete frame this long after it.
    boost::posix_time::time_duration handshake_deadline = boost::posix_time::seconds(10);
    boost::posix_time::time_duration first_frame_deadline = boost::posix_time::seconds(30);
    // A client leg refused with a FAIL reads no more: it is closed this long
    // after the FAIL is written.
    boost::posix_time::time_duration fail_close_delay = boost::posix_time::seconds(10);
    // How long stop() lets frames already handed to the leg drain.
    boost::posix_time::time_duration stop_drain = boost::posix_time::seconds(2);
    // UTC now, with microseconds: the client leg's creation time.
    std::function<boost::posix_time::ptime()> clock = &boost::posix_time::microsec_clock::universal_time;
};

}  // namespace vexa
