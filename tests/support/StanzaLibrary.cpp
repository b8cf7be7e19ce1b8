#include "StanzaLibrary.h"

#include "vexa_xml.h"

#include <mutex>

namespace kavri_test {

namespace {

void quiet(int, const char*) {}

}  // namespace

void ensure_stanza_library()
{
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    if (vexa_xml_is_initialized())
        return;
    static const sVEXA_XML_CALLOUTS callouts{SHA256_Init, SHA256_Update, SHA256_Final, quiet};
    vexa_xml_init(&callouts);
}

}  // namespace kavri_test
