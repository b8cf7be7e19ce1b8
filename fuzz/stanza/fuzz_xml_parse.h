// One parser under fuzzing: on success the record is written back and
// parsed again, and the two records must be equal.
#pragma once

#include "stanza_fuzz.h"

#include <cstdint>
#include <cstring>
#include <vector>

template <typename Record, typename Parse, typename Write>
int fuzz_parser(const uint8_t* data, size_t size, Parse parse, Write write)
{
    stanza_fuzz::init_once();
    std::vector<char> text(reinterpret_cast<const char*>(data),
                           reinterpret_cast<const char*>(data) + size);
    text.push_back('\0');
    Record rec;
    eVEXA_XML_TYPE type = VEXA_XML_TYPE_UNKNOWN;
    if (parse(text.data(), size, &type, &rec) != 0)
        return 0;
    stanza_fuzz::check(rec.mitm_hellos.count <= VEXA_XML_MAX_MITM);
    Record copy = rec;
    char full[4096];
    if (write(&copy, full) != 0)
        return 0;  // e.g. an empty hop name: parsed, but not writable
    Record again;
    eVEXA_XML_TYPE type2 = VEXA_XML_TYPE_UNKNOWN;
    stanza_fuzz::check(parse(full, std::strlen(full), &type2, &again) == 0);
    stanza_fuzz::check(type2 == type);
    stanza_fuzz::check(std::memcmp(&again, &copy, sizeof again) == 0);
    return 0;
}
