#include "ControlCommand.h"

#include <rapidxml/rapidxml.hpp>

#include <cstring>
#include <stdexcept>

namespace vexa {

ControlCommand ControlCommand::parse(const char* data, std::size_t size)
{
    if (size > MAX_DOCUMENT)
        throw std::length_error("number of received bytes exceeds size of parsing buffer");

    // The parser works in place on a zero-terminated copy; the slack keeps a
    // look-ahead past the terminator inside the buffer.
    std::vector<char> buffer(size + 16, '\0');
    if (size > 0)
        std::memcpy(buffer.data(), data, size);

    rapidxml::xml_document<> doc;
    doc.parse<0>(buffer.data());

    const rapidxml::xml_node<>* root = doc.first_node("kavri-sg");
    if (!root)
        throw std::runtime_error("failed to find kavri-sg XML tag");
    const rapidxml::xml_node<>* command = root->first_node();
    if (!command)
        throw std::runtime_error("failed to find command XML tag");

    ControlCommand result;
    result.name.assign(command->name(), command->name_size());
    for (const rapidxml::xml_node<>* child = command->first_node(); child;
         child = child->next_sibling()) {
        Parameter p;
        p.name.assign(child->name(), child->name_size());
        p.value.assign(child->value(), child->value_size());
        p.duplicate = !result.params.emplace(p.name, p.value).second;
        result.parameters.push_back(std::move(p));
    }
    return result;
}

}  // namespace vexa
