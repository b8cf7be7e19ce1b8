#include "SSIGLegTypes.h"

namespace vexa {

void empty_ssig_complete_handler(const boost::system::error_code&) {}

void empty_xml_forwarder(const char*, eVEXA_XML_TYPE, ssig_complete_handler_t) {}

void empty_ksdp_forwarder(const ssig::SSIGMap&, ssig_complete_handler_t) {}

}  // namespace vexa
