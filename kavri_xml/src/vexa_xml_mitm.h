// The MITM hop list shared by the three stanza writers. Reentrant.
#pragma once

#include "vexa_xml.h"
#include "vexa_xml_util.h"

// Appends "<MITM>...</MITM>" (nothing for no hops). -601 (logged) for a hop
// that is not valid or more than 10 hops.
int xml_create_mitm_hellos(const sVEXA_XML_MITM_HELLOS* hops, xml_util_text* text);

// Logs "(<caller>): MITM#n name" for each hop when there are two or more.
void xml_intern_log_hops(const char* caller, const sVEXA_XML_MITM_HELLOS* hops);
