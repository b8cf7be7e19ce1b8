#include "ControlBroker.h"

#include "IgnoreSigpipe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

ControlBroker::~ControlBroker() { close(); }

void ControlBroker::close()
{
    if (m_ssl) {
        SSL_free(m_ssl);
        m_ssl = nullptr;
    }
    if (m_ctx) {
        SSL_CTX_free(m_ctx);
        m_ctx = nullptr;
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_buffer.clear();
    m_kept.clear();
}

void ControlBroker::set_client_certificate(const std::string& cert_path, const std::string& key_path)
{
    m_cert_path = cert_path;
    m_key_path = key_path;
}

bool ControlBroker::connect(unsigned short port, bool tls, std::chrono::milliseconds timeout)
{
    close();
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_fd < 0)
        return false;
    // Bounds the blocking connect and TLS handshake as well.
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close();
        return false;
    }
    if (!tls)
        return true;
    m_ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(m_ctx, SSL_VERIFY_NONE, nullptr);
    if (!m_cert_path.empty() &&
        (SSL_CTX_use_certificate_chain_file(m_ctx, m_cert_path.c_str()) != 1 ||
         SSL_CTX_use_PrivateKey_file(m_ctx, m_key_path.c_str(), SSL_FILETYPE_PEM) != 1)) {
        close();
        return false;
    }
    kavri_test::ignore_sigpipe();
    m_ssl = SSL_new(m_ctx);
    SSL_set_fd(m_ssl, m_fd);
    if (SSL_connect(m_ssl) != 1) {
        close();
        return false;
    }
    return true;
}

bool ControlBroker::send(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        int n;
        if (m_ssl)
            n = SSL_write(m_ssl, bytes.data() + done, static_cast<int>(bytes.size() - done));
        else
            n = static_cast<int>(::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL));
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string ControlBroker::request(const std::string& command, const params_t& params,
                                   const std::string& id)
{
    std::string doc = "<?xml version=\"1.0\"?>\r\n<kavri-sg version=\"1.0\">\r\n";
    if (params.empty()) {
        doc += "<" + command + "/>\r\n";
    } else {
        doc += "<" + command + ">\r\n";
        for (const auto& p : params)
            doc += "<" + p.first + ">" + p.second + "</" + p.first + ">\r\n";
        doc += "</" + command + ">\r\n";
    }
    doc += "</kavri-sg>\r\n";
    return "KAVRI-SG/1.0 TYPE=XML ID=" + id + " LENGTH=" + std::to_string(doc.size()) + "\r\n" + doc;
}

int ControlBroker::receive(char* buffer, std::size_t size, std::chrono::milliseconds timeout)
{
    if (m_fd < 0)
        return -1;
    if (!(m_ssl && SSL_pending(m_ssl) > 0)) {
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
        if (ready == 0)
            return -2;
        if (ready < 0)
            return -1;
    }
    if (m_ssl) {
        const int n = SSL_read(m_ssl, buffer, static_cast<int>(size));
        if (n > 0)
            return n;
        const int err = SSL_get_error(m_ssl, n);
        return err == SSL_ERROR_ZERO_RETURN ? 0 : (err == SSL_ERROR_WANT_READ ? -2 : -1);
    }
    const ssize_t n = ::recv(m_fd, buffer, size, 0);
    if (n > 0)
        return static_cast<int>(n);
    if (n == 0)
        return 0;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? -2 : -1;
}

bool ControlBroker::fill(std::size_t needed, std::chrono::steady_clock::time_point deadline)
{
    char chunk[65536];
    while (m_buffer.size() < needed) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        const int n = receive(chunk, sizeof chunk, left);
        if (n <= 0)
            return false;
        m_buffer.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<BrokerMessage> ControlBroker::read_message(std::chrono::milliseconds timeout)
{
    if (!m_kept.empty()) {
        BrokerMessage m = std::move(m_kept.front());
        m_kept.pop_front();
        return m;
    }
    return read_framed(timeout);
}

std::optional<BrokerMessage> ControlBroker::read_framed(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t eol;
    while ((eol = m_buffer.find("\r\n")) == std::string::npos)
        if (!fill(m_buffer.size() + 1, deadline))
            return std::nullopt;

    BrokerMessage m;
    m.header = m_buffer.substr(0, eol);
    // The gateway's header: space-separated KEY=VALUE words.
    std::size_t pos = 0;
    bool have_length = false;
    while (pos <= m.header.size()) {
        std::size_t end = m.header.find(' ', pos);
        if (end == std::string::npos)
            end = m.header.size();
        const std::string word = m.header.substr(pos, end - pos);
        const std::size_t eq = word.find('=');
        if (eq != std::string::npos) {
            const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
            if (key == "ID")
                m.id = value;
            else if (key == "REPLYID")
                m.reply_id = value;
            else if (key == "LENGTH") {
                m.length = std::stoul(value);
                have_length = true;
            }
        }
        pos = end + 1;
    }
    if (!have_length)
        return std::nullopt;
    const std::size_t total = eol + 2 + m.length;
    if (!fill(total, deadline))
        return std::nullopt;
    m.raw = m_buffer.substr(0, total);
    m.body = m_buffer.substr(eol + 2, m.length);
    m_buffer.erase(0, total);
    return m;
}

std::vector<BrokerMessage> ControlBroker::read_all(std::chrono::milliseconds quiet)
{
    std::vector<BrokerMessage> out;
    while (auto m = read_message(quiet))
        out.push_back(std::move(*m));
    return out;
}

bool ControlBroker::wait_readable(std::chrono::milliseconds timeout)
{
    if (!m_kept.empty() || !m_buffer.empty() || (m_ssl && SSL_pending(m_ssl) > 0))
        return true;
    pollfd p{m_fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

bool ControlBroker::wait_closed(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char chunk[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        const int n = receive(chunk, sizeof chunk, left);
        if (n == 0 || n == -1)
            return true;
        if (n == -2)
            return false;
    }
}

std::optional<std::string> BrokerMessage::element(const std::string& name) const
{
    const std::string open = "<" + name + ">", close = "</" + name + ">";
    const std::size_t start = body.find(open);
    if (start == std::string::npos)
        return std::nullopt;
    const std::size_t end = body.find(close, start + open.size());
    if (end == std::string::npos)
        return std::nullopt;
    return body.substr(start + open.size(), end - start - open.size());
}

std::string BrokerMessage::command() const
{
    const std::size_t root = body.find("<kavri-sg");
    if (root == std::string::npos)
        return "";
    const std::size_t open = body.find('<', body.find('>', root));
    if (open == std::string::npos)
        return "";
    const std::size_t end = body.find_first_of(" />\r\n", open + 1);
    return body.substr(open + 1, end == std::string::npos ? std::string::npos : end - open - 1);
}

std::optional<BrokerMessage> ControlBroker::command(const std::string& command, const params_t& params,
                                                    std::chrono::milliseconds timeout)
{
    const std::string id = next_id();
    if (!send_command(command, params, id))
        return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        auto m = read_framed(left);
        if (!m)
            return std::nullopt;
        if (m->reply_id == id)
            return m;
        m_kept.push_back(std::move(*m));
    }
}

bool ControlBroker::init(std::chrono::milliseconds timeout)
{
    const auto reply = command("init", {}, timeout);
    return reply && reply->element("result") == std::optional<std::string>("ok");
}

std::string ControlBroker::add_connection(const AddConnection& a, std::chrono::milliseconds timeout)
{
    params_t params{{"ip-address", a.ip_address}, {"tcp-port", std::to_string(a.tcp_port)}};
    if (a.server_sni)
        params.emplace_back("server-sni", *a.server_sni);
    if (a.sg_sni)
        params.emplace_back("sg-sni", *a.sg_sni);
    params.emplace_back("ctag", a.ctag);
    params.emplace_back("connection-id", a.connection_id);
    const auto reply = command("add-connection", params, timeout);
    if (!reply || reply->element("result") != std::optional<std::string>("ok"))
        return "";
    return reply->element("rtag").value_or("");
}

bool ControlBroker::remove_connection(const std::string& rtag, std::chrono::milliseconds timeout)
{
    const auto reply = command("remove-connection", {{"rtag", rtag}}, timeout);
    return reply && reply->element("result") == std::optional<std::string>("ok");
}

std::optional<BrokerMessage> ControlBroker::next_notification(std::chrono::milliseconds timeout)
{
    for (auto it = m_kept.begin(); it != m_kept.end(); ++it)
        if (!it->reply_id) {
            BrokerMessage m = std::move(*it);
            m_kept.erase(it);
            return m;
        }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        auto m = read_framed(left);
        if (!m)
            return std::nullopt;
        if (!m->reply_id)
            return m;
        m_kept.push_back(std::move(*m));
    }
}

std::optional<BrokerMessage> ControlBroker::next_connection_closed(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        auto m = next_notification(left);
        if (!m || m->command() == "connection-closed")
            return m;  // nothing: timed out, or the connection closed
    }
}

std::vector<BrokerMessage> ControlBroker::connection_closed_within(std::chrono::milliseconds wait)
{
    std::vector<BrokerMessage> out;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (auto m = next_connection_closed(std::chrono::duration_cast<std::chrono::milliseconds>(
               deadline - std::chrono::steady_clock::now())))
        out.push_back(std::move(*m));
    return out;
}
