// The process-wide configuration store: text values by case-sensitive key.
// Precedence: a run-time value (set) beats the configuration file, which
// beats a registered default.
//
// Threads: any thread calls get/set/set_default/set_persistent.
// m_cache_mutex (class-wide) guards cache, file and keys_read and is a leaf: nothing is
// logged or locked while it is held (the log's open handler itself reads
// LogPath through get). m_persist_mutex (class-wide) is held across a whole
// set_persistent rewrite, taken before m_cache_mutex; an advisory flock on the
// file's directory keeps other processes out of the same rewrite.
#pragma once

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_file_backend.hpp>
#include <boost/shared_ptr.hpp>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace vexa {

class Config {
public:
    // A line of the configuration file that names a key: a setting, or a
    // key-like line that is ignored because it does not start in the first
    // column.
    struct FileKey {
        std::size_t line;  // 1 for the first line
        std::string key;
        bool indented;
    };

    using sink_t = boost::log::sinks::synchronous_sink<boost::log::sinks::text_file_backend>;

    // Name of the active log file inside the LogPath directory.
    static const std::string DEFAULT_LOG_FILE_NAME_FORMAT;
    static const std::string DEFAULT_CONFIG_FILE;

    // The process's store, created on first use and never destroyed.
    static Config* get_instance();

    // A free-standing store; the process uses get_instance().
    Config();
    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;

    std::string get(const std::string& key);
    void set(const std::string& key, const std::string& value);
    void set_default(const std::string& key, const std::string& value);

    // The keys that have a value: set at run time, a default, or a file
    // value already read.
    std::set<std::string> keys();

    // The value as a directory: "" gives "./"; a "/" is appended if missing.
    std::string get_as_path(const std::string& key);

    // Splits the value at any of the separator characters, keeping empty
    // tokens, and replaces the contents of out.
    template <class Container>
    void get_as_list(const std::string& key, Container& out, const std::string& separators)
    {
        const std::string value = get(key);
        Container tokens;
        boost::split(tokens, value, boost::is_any_of(separators));
        out.swap(tokens);
    }

    // A path that cannot be opened or is a directory is reported on
    // standard output and leaves every setting at its default.
    void open(const std::string& path);
    void open();
    // The key lines the last open() read, in file order.
    std::vector<FileKey> file_keys();

    // Sets the value and writes it into the configuration file on disk,
    // through a symbolic link, keeping owner, group and mode. A key or value
    // holding CR, LF or NUL is refused: logged, nothing set or written.
    void set_persistent(const std::string& key, const std::string& value);
    // The file set_persistent rewrites; DEFAULT_CONFIG_FILE unless replaced.
    void set_persistent_path(const std::string& path);

    void change_log_path(const std::string& path);
    void cache_backend_sink(const boost::shared_ptr<sink_t>& sink);
    boost::shared_ptr<sink_t> init_log_file(const std::string& file_name);

    // Matches one configuration line; false when it holds no setting.
    static bool parse_line(const std::string& line, std::string& key, std::string& value);

private:
    std::map<std::string, std::string> cache;
    std::map<std::string, std::string> file;
    std::vector<FileKey> keys_read;
    boost::shared_ptr<sink_t> sink;
    std::string persistent_path;

    static Config* m_instance;
    static std::mutex m_instance_mutex;
    static std::mutex m_cache_mutex;
    static std::mutex m_persist_mutex;
    static std::set<std::string> non_configurable_settings;
};

}  // namespace vexa
