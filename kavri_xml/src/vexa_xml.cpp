// Set-up, logging and type names of the stanza library. The callouts are
// atomics: vexa_xml_init and vexa_xml_teardown are the only writers, and a
// reader loads each pointer once before it uses it.
#include "vexa_xml.h"

#include "vexa_xml_util.h"

#include <atomic>
#include <cstdio>

namespace {

using sha_init_fn = int (*)(SHA256_CTX*);
using sha_update_fn = int (*)(SHA256_CTX*, const void*, size_t);
using sha_final_fn = int (*)(unsigned char*, SHA256_CTX*);
using log_fn = void (*)(int, const char*);

std::atomic<bool> g_is_initialized{false};
std::atomic<sha_init_fn> g_sha256_init{nullptr};
std::atomic<sha_update_fn> g_sha256_update{nullptr};
std::atomic<sha_final_fn> g_sha256_final{nullptr};
std::atomic<log_fn> g_log{nullptr};

// Label and numbers of the library build, logged at set-up.
constexpr const char* kBuildLabel = "kavri-sg-release";
constexpr int kBuildMajor = 1, kBuildMinor = 14, kBuildPatch = 1, kBuildNumber = 984;

}  // namespace

int vexa_xml_init(const sVEXA_XML_CALLOUTS* fn_ptrs)
{
    VEXA_XML_REQUIRE(fn_ptrs != nullptr, "fn_ptrs != ((void *)0)");
    VEXA_XML_REQUIRE(fn_ptrs->SHA256_Init != nullptr, "fn_ptrs->SHA256_Init != ((void *)0)");
    VEXA_XML_REQUIRE(fn_ptrs->SHA256_Update != nullptr, "fn_ptrs->SHA256_Update != ((void *)0)");
    VEXA_XML_REQUIRE(fn_ptrs->SHA256_Final != nullptr, "fn_ptrs->SHA256_Final != ((void *)0)");

    g_sha256_init.store(fn_ptrs->SHA256_Init);
    g_sha256_update.store(fn_ptrs->SHA256_Update);
    g_sha256_final.store(fn_ptrs->SHA256_Final);
    g_log.store(fn_ptrs->log);
    g_is_initialized.store(true);

    xml_util_log(VEXA_XML_LOG_INFO, "(vexa_xml_init) -- Software Build ID: %s %d.%d.%d.%d",
                 kBuildLabel, kBuildMajor, kBuildMinor, kBuildPatch, kBuildNumber);
    return VEXA_XML_SUCCESS;
}

void vexa_xml_teardown()
{
    g_is_initialized.store(false);
    g_sha256_init.store(nullptr);
    g_sha256_update.store(nullptr);
    g_sha256_final.store(nullptr);
    g_log.store(nullptr);
}

bool vexa_xml_is_initialized()
{
    return g_is_initialized.load();
}

const char* vexa_xml_get_api_version()
{
    return "1.0";
}

void vexa_xml_intern_log_message(int level, const char* text)
{
    if (text == nullptr)
        return;
    const log_fn log = g_log.load();
    if (log != nullptr) {
        log(level, text);
    } else {
        std::fputs(text, stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
}

const char* vexa_xml_get_stanza_type_desc(eVEXA_XML_TYPE type)
{
    switch (type) {
    case VEXA_XML_TYPE_HELLO: return "KAVRI_HELLO";
    case VEXA_XML_TYPE_VERSION: return "KAVRI_VERSION";
    case VEXA_XML_TYPE_REJECT: return "KAVRI_REJECT";
    case VEXA_XML_TYPE_FAIL: return "KAVRI_FAIL";
    case VEXA_XML_TYPE_REJECTED: return "KAVRI_REJECTED";
    case VEXA_XML_TYPE_UNKNOWN_KAVRI: return "unknown KAVRI XML";
    case VEXA_XML_TYPE_UNPARSEABLE: return "unparseable";
    case VEXA_XML_TYPE_UNKNOWN: break;
    }
    return "unknown XML";
}

void vexa_xml_sanitize(char* text)
{
    if (text == nullptr)
        return;
    for (char* p = text; *p != '\0'; ++p) {
        if (*p == ':' || *p == '/' || *p == '<' || *p == '>')
            *p = '_';
    }
}

bool xml_util_sha256_begin(xml_util_sha256* h, const char* caller)
{
    h->init = g_sha256_init.load();
    h->update = g_sha256_update.load();
    h->final = g_sha256_final.load();
    if (!g_is_initialized.load() || h->init == nullptr || h->update == nullptr ||
        h->final == nullptr) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(%s) -- library not initialised (g_is_initialized is false), nothing signed",
                     caller);
        return false;
    }
    return h->init(&h->ctx) == 1;
}
