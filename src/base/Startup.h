// The start-up steps of the program's entry: the configuration defaults,
// the open-file limit and the build banners. Runs once, on the start-up
// thread, before any event loop.
#pragma once

#include "Config.h"
#include "Log.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace vexa {

// Registers the default of every setting, in the documented order.
void register_defaults(Config& config);

// Every key the gateway reads: the registered defaults and the keys that
// have none.
const std::set<std::string>& known_settings();

// Warnings about the lines of the file that config last opened (named path)
// whose setting the gateway never uses: unknown keys, the cipher lists, and
// key lines that do not start in the first column. One per unknown or
// ignored key, one per indented line. The file is read before the log
// exists, so the caller holds them until it does.
std::vector<std::string> config_file_warnings(Config& config, const std::string& path);

uint64_t get_num_required_file_descriptors(Config& config);
void get_file_descriptor_limits(uint64_t& hard, uint64_t& soft);
void set_file_descriptor_limits(uint64_t hard, uint64_t soft);
// Lowers MaxConnections to what the given limit allows (for this run only).
void adjust_for_inadequate_file_descriptors(Config& config, logger_t& lg, uint64_t limit,
                                            const std::string& kind);
// Fits the soft open-file limit to MaxConnections; false when the hard limit
// is too low to run at all.
bool fit_file_descriptor_limit(Config& config, logger_t& lg);

// Constraint handler of the bounds-checked routines: logs the message at error.
void safe_api_error_handler(const char* message, void* pointer, int error);

void log_build_banners(Config& config, logger_t& lg);

// Core filter: a record passes when it has a severity of at least the
// number in log_level (a non-numeric text reads as 0). Also sets the copy of
// the threshold that log_enabled reads.
void set_log_filter(const std::string& log_level);
// Removes the core filter and lets log_enabled pass every severity again.
void reset_log_filter();

}  // namespace vexa
