#include "Config.h"

#include "Log.h"

#include <boost/log/attributes/clock.hpp>
#include <boost/log/core.hpp>
#include <boost/regex.hpp>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <utility>

namespace vexa {

const std::string Config::DEFAULT_LOG_FILE_NAME_FORMAT = "VevareviDiravad_.log";
const std::string Config::DEFAULT_CONFIG_FILE = "/etc/VevareviDiravad.conf";

Config* Config::m_instance = nullptr;
std::mutex Config::m_instance_mutex;
std::mutex Config::m_cache_mutex;
std::mutex Config::m_persist_mutex;
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

// Closes a descriptor at scope exit.
class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    // Closes now, reporting the result (a delayed write error shows here).
    bool close()
    {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// Removes the temporary file at scope exit unless it was renamed into place.
class TempFileGuard {
public:
    explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
    ~TempFileGuard()
    {
        if (!path_.empty())
            ::unlink(path_.c_str());
    }
    TempFileGuard(const TempFileGuard&) = delete;
    TempFileGuard& operator=(const TempFileGuard&) = delete;
    void release() { path_.clear(); }

private:
    std::string path_;
};

// The parts joined, then ": " and the text of err. Callers pass errno as an
// argument, so it is read before any allocation can touch it.
template <class... Parts>
std::string failure(int err, const Parts&... parts)
{
    std::string text;
    (text.append(parts), ...);
    return text + ": " + std::strerror(err);
}

// The file a rewrite of path must replace: a symbolic link is followed, so
// the link stays and its target is updated. A file that does not exist yet
// is placed in the resolved directory. Empty on failure, with error set.
std::string resolve_target(const std::string& path, std::string& error)
{
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        std::string resolved(real);
        std::free(real);
        return resolved;
    }
    struct stat link {};
    if (errno != ENOENT || ::lstat(path.c_str(), &link) == 0) {
        error = failure(errno, "cannot resolve ", path);
        return std::string();
    }
    const std::string::size_type slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    char* real_dir = ::realpath(dir.c_str(), nullptr);
    if (!real_dir) {
        error = failure(errno, "cannot resolve ", dir);
        return std::string();
    }
    std::string resolved(real_dir);
    std::free(real_dir);
    if (resolved.back() != '/')
        resolved += '/';
    return resolved + (slash == std::string::npos ? path : path.substr(slash + 1));
}

bool write_all(int fd, const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Rewrites the configuration file at path with key set to value, crash-safe:
// the new contents go to a temporary file beside the real file, which is
// flushed, renamed over it, and the rename flushed with the directory.
// Returns the reason of a failure, empty on success.
std::string rewrite_setting(const std::string& path, const std::string& key,
                            const std::string& value)
{
    std::string error;
    const std::string target = resolve_target(path, error);
    if (target.empty())
        return error;
    const std::string::size_type slash = target.rfind('/');
    const std::string dir = slash == 0 ? "/" : target.substr(0, slash);

    // The lock is taken on the directory, not on the file: the rename puts a
    // new inode in the file's place, so a writer waiting on the old inode's
    // lock would then read stale contents. The directory survives the
    // rename, leaves no lock file behind, and its handle flushes the rename.
    UniqueFd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_fd.get() < 0)
        return failure(errno, "cannot open ", dir);
    while (::flock(dir_fd.get(), LOCK_EX) != 0)
        if (errno != EINTR)
            return failure(errno, "cannot lock ", dir);

    // Collect the new contents first: an existing file that cannot be read
    // must not be replaced by a one-line file.
    std::string old;
    struct stat old_stat {};
    UniqueFd in(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
    const bool exists = in.get() >= 0;
    if (!exists && errno != ENOENT)
        return failure(errno, "cannot read ", target);
    if (exists) {
        if (::fstat(in.get(), &old_stat) != 0 || !S_ISREG(old_stat.st_mode))
            return "cannot read " + target + ": not a regular file";
        char buf[8192];
        for (;;) {
            const ssize_t n = ::read(in.get(), buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return failure(errno, "cannot read ", target);
            if (n == 0)
                break;
            old.append(buf, static_cast<size_t>(n));
        }
    }
    std::ostringstream contents;
    bool replaced = false;
    std::istringstream lines(old);
    std::string line, line_key, line_value;
    while (std::getline(lines, line)) {
        if (Config::parse_line(line, line_key, line_value) && line_key == key) {
            contents << key << " = " << value << "\n";
            replaced = true;
        } else {
            contents << line << "\n";
        }
    }
    if (!replaced)
        contents << key << " = " << value << "\n";

    std::string temp = dir + (dir.back() == '/' ? "" : "/") + std::to_string(::getpid()) +
                       "-VevareviDiravad.conf.XXXXXX";
    UniqueFd out(::mkostemp(&temp[0], O_CLOEXEC));
    if (out.get() < 0)
        return failure(errno, "cannot create a temporary file in ", dir);
    TempFileGuard guard(temp);
    // Owner first: a change of owner clears the set-id bits the mode restores.
    if (exists && ::fchown(out.get(), old_stat.st_uid, old_stat.st_gid) != 0)
        return failure(errno, "cannot give ", temp, " the owner of ", target);
    const mode_t mode = exists ? (old_stat.st_mode & 07777) : 0644;
    if (::fchmod(out.get(), mode) != 0)
        return failure(errno, "cannot set the mode of ", temp);
    if (!write_all(out.get(), contents.str()))
        return failure(errno, "cannot write ", temp);
    if (::fsync(out.get()) != 0)
        return failure(errno, "cannot flush ", temp);
    if (!out.close())
        return failure(errno, "cannot write ", temp);
    if (::rename(temp.c_str(), target.c_str()) != 0)
        return failure(errno, "cannot rename ", temp, " to ", target);
    guard.release();
    if (::fsync(dir_fd.get()) != 0)
        return failure(errno, "cannot flush ", dir, " after renaming ", target);
    return std::string();
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

std::set<std::string> Config::keys()
{
    std::lock_guard<std::mutex> lock(m_cache_mutex);
    std::set<std::string> out;
    for (const auto& kv : cache)
        out.insert(kv.first);
    return out;
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
    // A directory opens like a file and then reads as empty.
    struct stat st {};
    const bool directory = ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    std::ifstream in;
    if (!directory)
        in.open(path);
    if (!in.is_open()) {
        std::cout << "\nFailed to read the " << path
                  << "!!! Using the default config settings!!!\n\n" << std::flush;
        return;
    }
    std::map<std::string, std::string> read;
    std::vector<FileKey> keys;
    std::string line, key, value;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        if (parse_line(line, key, value)) {
            read[key] = value;
            keys.push_back({number, key, false});
        } else {
            // Only reported: such a line stays ignored.
            const std::string::size_type first = line.find_first_not_of(" \t");
            if (first != 0 && first != std::string::npos &&
                parse_line(line.substr(first), key, value))
                keys.push_back({number, key, true});
        }
    }
    std::lock_guard<std::mutex> lock(m_cache_mutex);
    for (auto& kv : read)
        file[kv.first] = kv.second;
    keys_read = std::move(keys);
}

std::vector<Config::FileKey> Config::file_keys()
{
    std::lock_guard<std::mutex> lock(m_cache_mutex);
    return keys_read;
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
    // A line break would let the value add a setting of its own to the file.
    static const char forbidden[] = {'\r', '\n', '\0'};
    const std::string bad(forbidden, sizeof forbidden);
    if (key.find_first_of(bad) != std::string::npos ||
        value.find_first_of(bad) != std::string::npos) {
        // Neither text is logged: it would break the log line the same way.
        BOOST_LOG_SEV(config_logger(), boost::log::trivial::error)
            << "set_persistent: refused a key or value containing CR, LF or NUL; nothing set";
        return;
    }

    std::string error;
    {
        std::lock_guard<std::mutex> persist(m_persist_mutex);
        set(key, value);
        std::string target;
        {
            std::lock_guard<std::mutex> lock(m_cache_mutex);
            target = persistent_path;
        }
        error = rewrite_setting(target, key, value);
        std::lock_guard<std::mutex> lock(m_cache_mutex);
        file[key] = value;
    }
    if (!error.empty())
        BOOST_LOG_SEV(config_logger(), boost::log::trivial::error)
            << "set_persistent: " << key << ": " << error;
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
