// The files an operator is handed: the annotated example configuration
// lists exactly the keys the gateway reads, each with its default, and the
// service unit is one systemd accepts and that gives the default session
// limit its open files.
#include "Config.h"
#include "Startup.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

const std::string SOURCE_DIR = KAVRI_SOURCE_DIR;

std::string source_file(const std::string& relative)
{
    return TempDir::read(SOURCE_DIR + "/" + relative);
}

// The key of a commented-out setting ("#Key=Value"), else "".
std::string commented_key(const std::string& line)
{
    const std::size_t eq = line.find('=');
    if (line.size() < 3 || line[0] != '#' || eq == std::string::npos || eq < 2)
        return "";
    const std::string key = line.substr(1, eq - 1);
    for (char c : key)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_')
            return "";
    return key;
}

// The example's commented-out settings, by key.
std::map<std::string, std::string> example_settings()
{
    std::map<std::string, std::string> settings;
    std::istringstream lines(source_file("conf/VevareviDiravad.conf.example"));
    std::string line;
    while (std::getline(lines, line)) {
        const std::string key = commented_key(line);
        if (!key.empty()) {
            EXPECT_TRUE(settings.emplace(key, line.substr(key.size() + 2)).second) << "listed twice: " << key;
        }
    }
    return settings;
}

TEST(ExampleConfiguration, ListsEveryKeyWithItsDefault)
{
    const auto settings = example_settings();
    std::set<std::string> listed;
    for (const auto& kv : settings)
        listed.insert(kv.first);
    EXPECT_EQ(vexa::known_settings(), listed);

    // The defaults as the entry registers them, without TMPDIR (LogPath is
    // then /tmp) and without a file (TCPControlCertPath is SSLCertPath's).
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string saved = tmpdir ? tmpdir : "";
    ::unsetenv("TMPDIR");
    vexa::Config defaults;
    vexa::register_defaults(defaults);
    if (tmpdir)
        ::setenv("TMPDIR", saved.c_str(), 1);
    for (const auto& kv : settings)
        EXPECT_EQ(defaults.get(kv.first), kv.second) << kv.first;
}

TEST(ExampleConfiguration, UncommentedItWarnsOnlyAboutTheCipherLists)
{
    std::string uncommented;
    std::istringstream lines(source_file("conf/VevareviDiravad.conf.example"));
    std::string line;
    while (std::getline(lines, line))
        uncommented += (commented_key(line).empty() ? line : line.substr(1)) + "\n";
    TempDir tmp;
    const std::string path = tmp.write("all.conf", uncommented);
    vexa::Config c;
    c.open(path);
    const auto warnings = vexa::config_file_warnings(c, path);
    ASSERT_EQ(2u, warnings.size());
    EXPECT_NE(std::string::npos, warnings[0].find(": SSLCipherList is never read from the file"));
    EXPECT_NE(std::string::npos, warnings[1].find(": SSLPFSCipherList is never read from the file"));
}

// "Key=Value" lines of one section of the unit ("[Service]").
std::map<std::string, std::string> unit_section(const std::string& unit, const std::string& section)
{
    std::map<std::string, std::string> out;
    std::istringstream lines(unit);
    std::string line, current;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] == '[')
            current = line;
        else if (current == section && !line.empty() && line[0] != '#' && line.find('=') != std::string::npos)
            out[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    }
    return out;
}

TEST(ServiceUnit, RestartsAFailedStartWithAPauseAndALimit)
{
    const std::string unit = source_file("packaging/VevareviDiravad.service");
    const auto unit_part = unit_section(unit, "[Unit]");
    const auto service = unit_section(unit, "[Service]");
    EXPECT_EQ("/usr/sbin/VevareviDiravad /etc/VevareviDiravad.conf", service.at("ExecStart"));
    EXPECT_EQ("simple", service.at("Type"));  // the gateway stays in the foreground
    EXPECT_EQ("on-failure", service.at("Restart"));
    const long pause = std::strtol(service.at("RestartSec").c_str(), nullptr, 10);
    const long burst = std::strtol(unit_part.at("StartLimitBurst").c_str(), nullptr, 10);
    const long interval = std::strtol(unit_part.at("StartLimitIntervalSec").c_str(), nullptr, 10);
    EXPECT_GE(pause, 5);
    EXPECT_GT(burst, 0);
    // Restarts come closer together than the interval, so the limit bites.
    EXPECT_GT(interval, pause * burst);
    // The log directory is given, not left to the default of /tmp.
    EXPECT_EQ("TMPDIR=/var/log/VevareviDiravad", service.at("Environment"));
    EXPECT_EQ("VevareviDiravad", service.at("LogsDirectory"));

    vexa::Config defaults;
    vexa::register_defaults(defaults);
    EXPECT_GE(std::strtoull(service.at("LimitNOFILE").c_str(), nullptr, 10),
              vexa::get_num_required_file_descriptors(defaults));
}

TEST(ServiceUnit, SystemdAcceptsIt)
{
    if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    // verify insists on an executable; any will do for the unit's syntax.
    TempDir tmp;
    std::string unit = source_file("packaging/VevareviDiravad.service");
    const std::string exec = "ExecStart=/usr/sbin/VevareviDiravad ";
    ASSERT_NE(std::string::npos, unit.find(exec));
    unit.replace(unit.find(exec), exec.size(), "ExecStart=/bin/true ");
    const std::string path = tmp.write("VevareviDiravad.service", unit);
    const std::string out_path = tmp.slash() + "verify.txt";
    const int status = std::system(("systemd-analyze verify " + path + " >" + out_path + " 2>&1").c_str());
    EXPECT_EQ(0, status) << TempDir::read(out_path);
    EXPECT_EQ("", TempDir::read(out_path));
}

}  // namespace
