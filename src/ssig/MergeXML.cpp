// RapidXML merge of HELLO and VERSION stanzas.
#include "MergeXML.h"

#include <rapidxml/rapidxml.hpp>
#include <rapidxml/rapidxml_print.hpp>

#include <cstring>
#include <iterator>
#include <vector>

namespace merge_xml {

namespace {

using document = rapidxml::xml_document<char>;
using node = rapidxml::xml_node<char>;

// Received texts larger than this are not merged (a merged stanza must fit
// kMaxMergedLength anyway); nesting deeper than kMaxDepth is refused before
// the recursive parser and printer see it.
constexpr size_t kMaxInput = 16384;
constexpr int kMaxDepth = 32;

constexpr int kParseFlags = rapidxml::parse_validate_closing_tags | rapidxml::parse_doctype_node;

// Element nesting of a text, with quoted attribute values skipped; -1 for
// markup that is cut off. Comments, CDATA and declarations are skipped the
// way the parser skips them, since quotes inside them delimit nothing.
int nesting_depth(const std::string& text)
{
    int depth = 0, deepest = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '<')
            continue;
        // A DOCTYPE is refused anyway.
        if (text.compare(i, 9, "<!DOCTYPE") == 0)
            return -1;
        static const struct {
            const char* opener;
            const char* terminator;
        } kSkipped[] = {{"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}, {"<!", ">"}};
        bool skipped = false;
        for (const auto& s : kSkipped) {
            const size_t open = std::strlen(s.opener);
            if (text.compare(i, open, s.opener) != 0)
                continue;
            const size_t end = text.find(s.terminator, i + open);
            if (end == std::string::npos)
                return -1;
            i = end + std::strlen(s.terminator) - 1;
            skipped = true;
            break;
        }
        if (skipped)
            continue;
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        const bool closing = next == '/';
        char quote = '\0';
        size_t j = i + 1;
        for (; j < text.size(); ++j) {
            const char c = text[j];
            if (quote != '\0') {
                if (c == quote)
                    quote = '\0';
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                break;
            }
        }
        if (j == text.size())
            return -1;
        if (!closing && text[j - 1] != '/')
            deepest = std::max(deepest, ++depth);
        else if (closing)
            --depth;
        i = j;
    }
    return deepest;
}

// A private, terminated copy that the in-place parser may change. False for
// a text that would be cut at an inner NUL, is too long or nests too deep.
bool prepare(const std::string& text, std::vector<char>& buffer)
{
    if (text.size() > kMaxInput || text.find('\0') != std::string::npos)
        return false;
    const int depth = nesting_depth(text);
    if (depth < 0 || depth > kMaxDepth)
        return false;
    buffer.assign(text.begin(), text.end());
    buffer.push_back('\0');
    return true;
}

bool parse(document& doc, std::vector<char>& buffer)
{
    try {
        doc.parse<kParseFlags>(buffer.data());
    } catch (const rapidxml::parse_error&) {
        return false;
    }
    // No DOCTYPE from a peer: nothing may change what the validated text meant.
    for (node* n = doc.first_node(); n != nullptr; n = n->next_sibling())
        if (n->type() == rapidxml::node_doctype)
            return false;
    return true;
}

// The only child element of that name, or null when there is none or more
// than one (the parsers refuse such a stanza too).
node* only_child(node* parent, const char* name)
{
    if (parent == nullptr)
        return nullptr;
    node* first = parent->first_node(name);
    if (first == nullptr || first->next_sibling(name) != nullptr)
        return nullptr;
    return first;
}

node* stanza_element(document& doc, const char* name)
{
    return only_child(only_child(&doc, "KAVRI"), name);
}

// Every target attribute of that name goes; the source's is appended.
bool replace_attribute(document& target_doc, node* target, node* source, const char* name)
{
    rapidxml::xml_attribute<char>* from = source->first_attribute(name);
    while (rapidxml::xml_attribute<char>* old = target->first_attribute(name))
        target->remove_attribute(old);
    if (from == nullptr)
        return false;
    target->append_attribute(target_doc.allocate_attribute(
        target_doc.allocate_string(from->name(), from->name_size()),
        target_doc.allocate_string(from->value(), from->value_size()), from->name_size(),
        from->value_size()));
    return true;
}

node* first_data(node* element)
{
    for (node* n = element->first_node(); n != nullptr; n = n->next_sibling())
        if (n->type() == rapidxml::node_data || n->type() == rapidxml::node_cdata)
            return n;
    return nullptr;
}

// The text of the source element into the target element's first text.
bool replace_node_contents(document& target_doc, node* target, node* source)
{
    if (target == nullptr || source == nullptr)
        return false;
    node* to = first_data(target);
    node* from = first_data(source);
    if (to == nullptr || from == nullptr)
        return false;
    to->value(target_doc.allocate_string(from->value(), from->value_size()), from->value_size());
    return true;
}

bool place_result(document& doc, std::string& out, const std::string& prefix,
                  const std::string& suffix)
{
    std::string x;
    rapidxml::print(std::back_inserter(x), doc, rapidxml::print_no_indenting);
    size_t n = prefix.size() + suffix.size();
    if (n != 0)
        n += suffix.empty() ? 4 : 6;
    if (n + x.size() > 4094)
        return false;
    std::string result;
    if (!prefix.empty()) {
        result = prefix + "Content-Length: " + std::to_string(x.size());
        result += suffix.empty() ? "\r\n\r\n" : "\r\n" + suffix + "\r\n\r\n";
    }
    result += x;
    // The caller's buffer holds kMaxMergedLength characters: never cut a stanza.
    if (result.size() > kMaxMergedLength)
        return false;
    out = std::move(result);
    return true;
}

// The parsed pair of one merge, with the buffers the documents point into.
struct merge_pair {
    std::vector<char> target_text;
    std::vector<char> source_text;
    document target;
    document source;
    std::string prefix;
    std::string suffix;
};

bool load(merge_pair& m, const std::string& target, const std::string& source)
{
    const std::string stanza = find_starting_point(source.c_str(), m.prefix, m.suffix);
    if (stanza.empty() || source.find('\0') != std::string::npos)
        return false;
    return prepare(target, m.target_text) && prepare(stanza, m.source_text) &&
           parse(m.target, m.target_text) && parse(m.source, m.source_text);
}

// MITM hop elements of a MITM element.
size_t hop_count(node* mitm)
{
    size_t n = 0;
    for (node* h = mitm != nullptr ? mitm->first_node("HELLO") : nullptr; h != nullptr;
         h = h->next_sibling("HELLO"))
        ++n;
    return n;
}

bool do_merge_hello(merge_pair& m, std::string& out, bool add_gateway_hop)
{
    node* th = stanza_element(m.target, "HELLO");
    node* sh = stanza_element(m.source, "HELLO");
    node* ts = only_child(th, "SESSION");
    node* ss = only_child(sh, "SESSION");
    if (ts == nullptr || ss == nullptr)
        return false;
    if (!replace_attribute(m.target, ts, ss, "serverName") ||
        !replace_attribute(m.target, ts, ss, "thumbprint"))
        return false;
    if (!replace_node_contents(m.target, only_child(th, "SIGNATURE"), only_child(sh, "SIGNATURE")))
        return false;
    node* target_root = m.target.first_node("KAVRI");
    node* source_mitm = only_child(m.source.first_node("KAVRI"), "MITM");
    if (source_mitm == nullptr)
        return false;
    if (!add_gateway_hop) {
        // The gateway could not add itself: the peer's hops go on as they came.
    } else if (target_root->first_node("MITM") != nullptr) {
        node* target_mitm = only_child(target_root, "MITM");
        // last_node() asserts on a node without children.
        node* gateway_hop =
            source_mitm->first_node() != nullptr ? source_mitm->last_node("HELLO") : nullptr;
        if (target_mitm == nullptr || gateway_hop == nullptr)
            return false;
        target_mitm->append_node(m.target.clone_node(gateway_hop));
    } else {
        target_root->append_node(m.target.clone_node(source_mitm));
    }
    size_t hops = 0;
    for (node* mitm = target_root->first_node("MITM"); mitm != nullptr; mitm = mitm->next_sibling("MITM"))
        hops += hop_count(mitm);
    if (hops > kMaxHops)
        return false;
    return place_result(m.target, out, m.prefix, m.suffix);
}

bool do_merge_version(merge_pair& m, std::string& out)
{
    node* ts = only_child(stanza_element(m.target, "VERSION"), "SIGNATURES");
    node* ss = only_child(stanza_element(m.source, "VERSION"), "SIGNATURES");
    if (ts == nullptr || ss == nullptr)
        return false;
    if (!replace_node_contents(m.target, only_child(ts, "REQUESTED"), only_child(ss, "REQUESTED")) ||
        !replace_node_contents(m.target, only_child(ts, "NEGOTIATED"), only_child(ss, "NEGOTIATED")))
        return false;
    return place_result(m.target, out, m.prefix, m.suffix);
}

template <typename Merge>
int run_merge(const std::string& target, const std::string& source, std::string& out, Merge merge)
{
    try {
        merge_pair m;
        if (!load(m, target, source))
            return 0;
        std::string result;
        if (!merge(m, result))
            return 0;
        out = std::move(result);
        return 1;
    } catch (...) {
        // Pool allocation failures and anything the parser throws: no merge.
        return 0;
    }
}

}  // namespace

std::string find_starting_point(const char* text, std::string& prefix, std::string& suffix)
{
    if (text == nullptr)
        return std::string();
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
        ++p;
    if (*p == '\0')
        return std::string();
    if (*p == '<') {
        prefix.clear();
        suffix.clear();
        return std::string(p);
    }
    const char* end = std::strstr(text, "\r\n\r\n");
    if (end == nullptr)
        return std::string();
    const std::string header(text, static_cast<size_t>(end - text));
    const size_t cl = header.find("Content-Length:");
    if (cl == std::string::npos)
        return std::string();
    prefix = header.substr(0, cl);
    const size_t line_end = header.find("\r\n", cl);
    if (line_end != std::string::npos)
        suffix = header.substr(line_end + 2);
    return std::string(end + 4);
}

int merge_hello(const std::string& target, const std::string& source, std::string& out,
                bool add_gateway_hop)
{
    return run_merge(target, source, out, [add_gateway_hop](merge_pair& m, std::string& result) {
        return do_merge_hello(m, result, add_gateway_hop);
    });
}

int merge_version(const std::string& target, const std::string& source, std::string& out)
{
    return run_merge(target, source, out, do_merge_version);
}

}  // namespace merge_xml
