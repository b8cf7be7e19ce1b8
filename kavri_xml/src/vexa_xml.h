// Negotiation stanza library: records, type and result codes, set-up.
//
// Threads: every function may run on several threads at once; the library
// takes no lock. Its only global state, the initialised flag and the callout
// table, is written by vexa_xml_init and vexa_xml_teardown alone and is kept
// in atomics, so a signing call that races a teardown fails cleanly.
#pragma once

#include <openssl/sha.h>

#include <cstddef>
#include <cstdint>

// Stanza type of a received or written buffer.
enum eVEXA_XML_TYPE : int {
    VEXA_XML_TYPE_HELLO = 0,
    VEXA_XML_TYPE_VERSION = 1,
    VEXA_XML_TYPE_REJECT = 2,
    VEXA_XML_TYPE_FAIL = 3,
    VEXA_XML_TYPE_REJECTED = 4,
    VEXA_XML_TYPE_UNKNOWN_KAVRI = -98,  // a KAVRI root with no known stanza
    VEXA_XML_TYPE_UNKNOWN = -99,        // nothing recognised (initial value)
    VEXA_XML_TYPE_UNPARSEABLE = -100,   // not XML
};

// Result codes shared by the stanza library, the tag module and the
// certificate utilities. vexa_generate_rtag alone returns 1 / 0.
constexpr int VEXA_XML_SUCCESS = 0;
constexpr int VEXA_ERR_INVALID_CONTENT = -500;   // Base64/tag content, magic, certificate step
constexpr int VEXA_ERR_INVALID_ARGUMENT = -501;  // not a tag, bad flags, bad hex, not a version
constexpr int VEXA_ERR_THUMBPRINT_INPUT = -502;  // null or empty thumbprint input
constexpr int VEXA_ERR_NO_CERTIFICATE = -503;    // no certificate generated yet
constexpr int VEXA_ERR_BASE64_SPACE = -507;      // Base64 output does not fit
constexpr int VEXA_XML_ERR_NO_STANZA = -600;     // no stanza, not parsable, bad context tag
constexpr int VEXA_XML_ERR_INVALID_FIELD = -601; // record field not valid for writing
constexpr int VEXA_XML_ERR_VERSION = -603;       // version not acceptable
constexpr int VEXA_XML_ERR_VERSION_ABOVE = -604; // negotiated version above 1.1
constexpr int VEXA_XML_ERR_SIGNATURE = -605;     // HELLO / VERSION negotiated signature
constexpr int VEXA_XML_ERR_REQUEST_SIGNATURE = -606;
constexpr int VEXA_XML_ERR_SESSION_ID = -607;
constexpr int VEXA_XML_ERR_THUMBPRINT = -608;
constexpr int VEXA_XML_ERR_NEGOTIATION = -612;   // version text not valid in negotiation

// Log levels of vexa_xml_intern_log_message.
constexpr int VEXA_XML_LOG_ERROR = 1;
constexpr int VEXA_XML_LOG_INFO = 2;
constexpr int VEXA_XML_LOG_DETAIL = 3;

constexpr int VEXA_XML_MAX_MITM = 10;
constexpr size_t VEXA_XML_VERSION_SIZE = 8;   // 1..7 characters and a NUL
constexpr size_t VEXA_XML_NAME_SIZE = 80;     // 1..79 characters and a NUL
constexpr size_t VEXA_XML_SESSION_ID_SIZE = 8;
constexpr size_t VEXA_XML_HASH_SIZE = 32;
constexpr uint64_t VEXA_XML_SPI_MIN = 256;
constexpr uint64_t VEXA_XML_SPI_MAX = 0x7FFFFFFF;
// Every writer output and log text is built in a buffer of this size.
constexpr size_t VEXA_XML_BUFFER_SIZE = 4096;

struct sVEXA_XML_CALLOUTS {
    int (*SHA256_Init)(SHA256_CTX* ctx);
    int (*SHA256_Update)(SHA256_CTX* ctx, const void* data, size_t len);
    int (*SHA256_Final)(unsigned char* md, SHA256_CTX* ctx);
    void (*log)(int level, const char* text);  // optional
};

// One MITM hop.
struct sVEXA_XML_MITM_HELLO {
    char version[VEXA_XML_VERSION_SIZE];
    char name[VEXA_XML_NAME_SIZE];
    uint64_t spi;  // 0 none, else 256..0x7FFFFFFF
};

struct sVEXA_XML_MITM_HELLOS {
    uint8_t count;  // at most VEXA_XML_MAX_MITM
    sVEXA_XML_MITM_HELLO mitm[VEXA_XML_MAX_MITM];
};

struct sVEXA_XML_HELLO {
    char version[VEXA_XML_VERSION_SIZE];  // empty is written as "1.0"
    uint8_t session_id[VEXA_XML_SESSION_ID_SIZE];
    uint8_t thumbprint_hash[VEXA_XML_HASH_SIZE];
    char server_name[VEXA_XML_NAME_SIZE];
    uint8_t signature[VEXA_XML_HASH_SIZE];
    uint64_t spi;
    sVEXA_XML_MITM_HELLOS mitm_hellos;
};

struct sVEXA_XML_VERSION {
    char requested_version[VEXA_XML_VERSION_SIZE];
    char version[VEXA_XML_VERSION_SIZE];  // negotiated; empty is written as "1.0"
    uint8_t request_signature[VEXA_XML_HASH_SIZE];
    uint8_t negotiated_signature[VEXA_XML_HASH_SIZE];
    uint64_t spi;
    sVEXA_XML_MITM_HELLOS mitm_hellos;
};

struct sVEXA_XML_FAIL {
    uint32_t failure_code;  // non-zero
    char failure_reason[VEXA_XML_NAME_SIZE];
    sVEXA_XML_MITM_HELLOS mitm_hellos;
};

// Copies the callouts (the three SHA-256 functions are required) and marks
// the library initialised. Returns 0.
int vexa_xml_init(const sVEXA_XML_CALLOUTS* fn_ptrs);
// Clears the initialised flag and every callout.
void vexa_xml_teardown();
bool vexa_xml_is_initialized();

// "1.0": the version of the gateway's own MITM hop and of empty version fields.
const char* vexa_xml_get_api_version();

// Passes one message to the log callout, or to standard output without one.
void vexa_xml_intern_log_message(int level, const char* text);

// The text of a type code; "unknown XML" for any value outside the table.
const char* vexa_xml_get_stanza_type_desc(eVEXA_XML_TYPE type);

// Replaces every ':', '/', '<' and '>' of text by '_', in place.
void vexa_xml_sanitize(char* text);
