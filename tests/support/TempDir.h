// A temporary directory removed with everything in it at scope exit.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kavri-test-XXXXXX").string();
        if (!::mkdtemp(&tmpl[0]))
            throw std::runtime_error("mkdtemp failed");
        dir = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(dir, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return dir; }
    std::string str() const { return dir.string(); }
    // The directory with a trailing "/".
    std::string slash() const { return dir.string() + "/"; }

    std::string write(const std::string& name, const std::string& contents) const
    {
        const auto p = dir / name;
        std::ofstream(p, std::ios::binary) << contents;
        return p.string();
    }
    static std::string read(const std::filesystem::path& p)
    {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // Files whose names start with prefix, sorted.
    std::vector<std::filesystem::path> files(const std::string& prefix = "") const
    {
        std::vector<std::filesystem::path> out;
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.path().filename().string().rfind(prefix, 0) == 0)
                out.push_back(e.path());
        std::sort(out.begin(), out.end());
        return out;
    }

private:
    std::filesystem::path dir;
};
