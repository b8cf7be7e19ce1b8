#include "Config.h"

#include "Log.h"

#include <boost/log/attributes/clock.hpp>
#include <boost/log/core.hpp>
#include <boost/regex.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace vexa {

const std::string Config::DEFAULT_LOG_FILE_NAME_FORMAT = "VevareviDiravad_.log";
const std::string Config::DEFAULT_CONFIG_FILE = "/etc/VevareviDiravad.conf";

Config* Config::m_instance = nullptr;
std::mutex Config::m_instance_mutex;
std::mutex Config::m_cache_mutex;
std::set<std::string> Config::non_configurable_settings;

namespace {

// std::regex is not usable here: its "." does not match "\r", which would
// drop every line of a CRLF file instead of keeping the "\r" in the value.
const boost::regex& with_equals()
{
    static const boost::regex re(
        "^([\\xef]*)([\\xbb]*)([\\xbf]*)([[:alnum:]_]+)[[:blank:]]*=[[:blank:]]*(.+)",
        boost::regex::perl);
    return re;
}

const boost::regex& without_equals()
{
    static const boost::regex re(
        "^([\\xef]*)([\\xbb]*)([\\xbf]*)([[:alnum:]_]+)[[:blank:]]*(.+)", boost::regex::perl);
    return re;
}

logger_t& config_logger()
{
    static logger_t lg;
    return lg;
}

}  // namespace

Config* Config::get_instance()
{
    std::lock_guard<std::mutex> lock(m_instance_mutex);
    if (!m_instance)
        m_instance = new Config();
    return m_instance;
}

Config::Config() : persistent_path(DEFAULT_CONFIG_FILE)
{
    boost::log::core::get()->add_global_attribute(log_attr::TimeStamp,
                                                  boost::log::attributes::utc_clock());
    std::lock_guard<std::mutex> lock(m_cache_mutex);
    if (non_configurable_settings.empty())
        non_configurable_settings = {"SSLCipherList", "SSLPFSCipherList"};
}

std::string Config::get(const std::string& key)
{
    std::lock_guard<std::mutex> lock(m_cache_mutex);
    auto cached = cache.find(key);
    if (cached != cache.end())
        return cached->second;
    if (non_configurable_settings.count(key))
        return std::string();
    auto from_file = file.find(key);
    if (from_file != file.end()) {
        cache[key] = from_file->second;
        return from_file->second;
    }
    return std::string();
}

void Config::set(const std::string& key, const std::string& value)
{
    std::lock_guard<std::mutex> lock(m_cache_mutex);
    cache[key] = value;
}

void Config::set_default(const std::string& key, const std::string& value)
{
    get(key);  // moves a file value into the cache, so it wins over the default
    std::lock_guard<std::mutex> lock(m_cache_mutex);
    cache.emplace(key, value);
}

std::string Config::get_as_path(const std::string& key)
{
    std::string path = get(key);
    if (path.empty())
        path = ".";
    if (path.back() != '/')
        path += '/';
    return path;
}

bool Config::parse_line(const std::string& line, std::string& key, std::string& value)
{
    boost::smatch m;
    if (!boost::regex_match(line, m, with_equals()) &&
        !boost::regex_match(line, m, without_equals()))
        return false;
    key = m[4].str();
    value = m[5].str();
    return true;
}

void Config::open(const std::string& path)
{
    std::ifstream in(path);
    if (!in.is_open()) {
        std::cout << "\nFailed to read the " << path
                  << "!!! Using the default config settings!!!\n\n" << std::flush;
        return;
    }
    std::map<std::string, std::string> read;
    std::string line, key, value;
    while (std::getline(in, line)) {
        if (parse_line(line, key, value))
            read[key] = value;
    }
    std::lock_guard<std::mutex> lock(m_cache_mutex);
    for (auto& kv : read)
        file[kv.first] = kv.second;
}

void Config::open()
{
    open(DEFAULT_CONFIG_FILE);
}

void Config::set_persistent_path(const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_cache_mutex);
    persistent_path = path;
}

void Config::set_persistent(const std::string& key, const std::string& value)
{
    set(key, value);

    std::string target;
    {
        std::lock_guard<std::mutex> lock(m_cache_mutex);
        target = persistent_path;
    }

    // Collect the new contents first: an existing file that cannot be read
    // must not be replaced by a one-line file.
    std::ostringstream contents;
    bool replaced = false;
    struct stat old_stat {};
    const bool exists = ::stat(target.c_str(), &old_stat) == 0;
    if (exists) {
        std::ifstream in(target);
        if (!in.is_open()) {
            BOOST_LOG_SEV(config_logger(), boost::log::trivial::error)
                << "set_persistent: cannot read " << target << "; " << key << " not persisted";
            return;
        }
        std::string line, line_key, line_value;
        while (std::getline(in, line)) {
            if (parse_line(line, line_key, line_value) && line_key == key) {
                contents << key << " = " << value << "\n";
                replaced = true;
            } else {
                contents << line << "\n";
            }
        }
    }
    if (!replaced)
        contents << key << " = " << value << "\n";

    const std::string::size_type slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    std::string temp = dir + (dir.back() == '/' ? "" : "/") + std::to_string(::getpid()) +
                       "-VevareviDiravad.conf.XXXXXX";
    std::string error;
    const int fd = ::mkstemp(&temp[0]);
    if (fd < 0) {
        error = "cannot create a temporary file in " + dir + ": " + std::strerror(errno);
    } else {
        const std::string data = contents.str();
        const mode_t mode = exists ? (old_stat.st_mode & 07777) : 0644;
        bool ok = ::fchmod(fd, mode) == 0;
        size_t done = 0;
        while (ok && done < data.size()) {
            const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            ok = n > 0;
            if (ok)
                done += static_cast<size_t>(n);
        }
        ok = (::close(fd) == 0) && ok;
        if (!ok)
            error = "cannot write " + temp + ": " + std::strerror(errno);
        else if (::rename(temp.c_str(), target.c_str()) != 0)
            error = "cannot rename " + temp + " to " + target + ": " + std::strerror(errno);
        if (!error.empty())
            ::unlink(temp.c_str());
    }

    {
        std::lock_guard<std::mutex> lock(m_cache_mutex);
        file[key] = value;
    }
    if (!error.empty())
        BOOST_LOG_SEV(config_logger(), boost::log::trivial::error) << "set_persistent: " << error;
}

void Config::change_log_path(const std::string& path)
{
    set_persistent("LogPath", path);
    boost::shared_ptr<sink_t> old;
    {
        std::lock_guard<std::mutex> lock(m_cache_mutex);
        old.swap(sink);
    }
    if (old)
        boost::log::core::get()->remove_sink(old);
    auto fresh = init_log_file(get_as_path("LogPath") + DEFAULT_LOG_FILE_NAME_FORMAT);
    cache_backend_sink(fresh);
}

void Config::cache_backend_sink(const boost::shared_ptr<sink_t>& new_sink)
{
    std::lock_guard<std::mutex> lock(m_cache_mutex);
    sink = new_sink;
}

}  // namespace vexa
