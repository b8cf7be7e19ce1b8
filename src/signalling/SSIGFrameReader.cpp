#include "SSIGFrameReader.h"

#include <boost/asio/buffers_iterator.hpp>

#include <algorithm>
#include <cstring>

namespace vexa {

using ssig::SSIGHttp;
using ssig::SSIGPacket;
using ssig::SSIGTLV;

SSIGFrameReader::SSIGFrameReader()
    : m_stage(Stage::TYPE),
      m_word_bytes{0, 0, 0, 0},
      m_word(0),
      m_type(SSIGPacket::Type_UNKNOWN),
      m_length(0),
      m_copied(0),
      m_remaining(0),
      m_content_length(0),
      m_header(HEADER_LIMIT)
{
}

boost::asio::mutable_buffer SSIGFrameReader::buffer()
{
    switch (m_stage) {
    case Stage::TYPE:
        return boost::asio::buffer(m_word_bytes, sizeof m_word_bytes);
    case Stage::TLV_LENGTH:
        return boost::asio::buffer(m_tlv->data() + SSIGTLV::LENGTH_OFFSET, 4);
    case Stage::TLV_VALUE:
        return boost::asio::buffer(m_tlv->data() + SSIGTLV::COMMAND_TYPE_OFFSET, m_length);
    case Stage::HTTP_PAYLOAD:
        return boost::asio::buffer(m_http->text() + m_copied, m_remaining);
    case Stage::HTTP_HEADER:
        break;
    }
    return boost::asio::mutable_buffer();
}

void SSIGFrameReader::release_frame()
{
    if (m_stage != Stage::TYPE)
        return;
    m_tlv.reset();
    m_http.reset();
}

void SSIGFrameReader::reset()
{
    m_stage = Stage::TYPE;
    m_header.consume(m_header.size());
}

SSIGFrameReader::Verdict SSIGFrameReader::advance(std::size_t n)
{
    switch (m_stage) {
    case Stage::TYPE:
        return on_type();
    case Stage::TLV_LENGTH:
        return on_length();
    case Stage::TLV_VALUE:
    case Stage::HTTP_PAYLOAD:
        m_stage = Stage::TYPE;
        return Verdict::FRAME_DONE;
    case Stage::HTTP_HEADER:
        return on_header(n);
    }
    return Verdict::UNKNOWN_TYPE;
}

SSIGFrameReader::Verdict SSIGFrameReader::on_type()
{
    std::memcpy(&m_word, m_word_bytes, sizeof m_word);
    m_type = SSIGPacket::parse_packet_type(m_word_bytes);
    switch (m_type) {
    case SSIGPacket::Type_TLV:
        m_tlv.reset(new SSIGTLV());
        m_stage = Stage::TLV_LENGTH;
        return Verdict::NEXT_READ;
    case SSIGPacket::Type_HTTP_POST:
    case SSIGPacket::Type_HTTP_REPLY:
        m_http.reset(new SSIGHttp(m_type));
        m_header.consume(m_header.size());
        m_stage = Stage::HTTP_HEADER;
        return Verdict::NEXT_READ;
    default:
        return Verdict::UNKNOWN_TYPE;
    }
}

SSIGFrameReader::Verdict SSIGFrameReader::on_length()
{
    m_length = m_tlv->get_length();
    if (m_length == 0 || m_length > MAX_TLV_LENGTH) {
        m_stage = Stage::TYPE;
        return Verdict::BAD_LENGTH;
    }
    m_stage = Stage::TLV_VALUE;
    return Verdict::NEXT_READ;
}

SSIGFrameReader::Verdict SSIGFrameReader::on_header(std::size_t n)
{
    // The header read may have taken body bytes with it: all of them go
    // into the text, the header buffer is left empty.
    const std::size_t copied = std::min(m_header.size(), SSIGHttp::MAX_PAYLOAD);
    auto bufs = m_header.data();
    std::copy(boost::asio::buffers_begin(bufs), boost::asio::buffers_begin(bufs) + copied,
              m_http->text());
    m_header.consume(m_header.size());
    m_copied = copied;
    m_content_length = m_http->content_length();
    const std::size_t held = copied - std::min(n, copied);
    if (m_content_length == 0 || m_content_length > MAX_CONTENT_LENGTH || m_content_length < held) {
        m_stage = Stage::TYPE;
        return Verdict::BAD_CONTENT_LENGTH;
    }
    m_remaining = m_content_length - held;
    m_stage = Stage::HTTP_PAYLOAD;
    return Verdict::NEXT_READ;
}

}  // namespace vexa
