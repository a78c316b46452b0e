#include "core_sandbox.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace bench {

namespace fs = std::filesystem;

ResultWords ParseResultLine(const std::string& line)
{
    ResultWords words;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at]))) {
            ++at;
        }
        const std::size_t equals = line.find('=', at);
        if (at >= line.size() || equals == std::string::npos) {
            break;
        }
        const std::string key = line.substr(at, equals - at);
        std::size_t end;
        std::string value;
        if (equals + 1 < line.size() && line[equals + 1] == '"') {
            end = line.find('"', equals + 2);
            end = end == std::string::npos ? line.size() : end;
            value = line.substr(equals + 2, end - equals - 2);
            ++end;
        } else {
            end = line.find_first_of(" \t\n", equals + 1);
            end = end == std::string::npos ? line.size() : end;
            value = line.substr(equals + 1, end - equals - 1);
        }
        words[key] = value;
        at = end;
    }
    return words;
}

CoreSandbox::CoreSandbox(const std::string& coreExecutable)
{
    char pattern[] = "/tmp/dvrbench.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    }
    root_ = pattern;
    fs::create_directories(root_ + "/bin/plugins");
    fs::create_directories(root_ + "/bin/protected-plugins");
    fs::create_directories(workDir());
    fs::create_directories(resultsDir());
    fs::copy_file(coreExecutable, executable());
    fs::permissions(executable(), fs::perms::owner_all, fs::perm_options::add);
}

CoreSandbox::~CoreSandbox()
{
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void CoreSandbox::AddPlugin(const std::string& library, const std::string& fileName)
{
    fs::copy_file(library, root_ + "/bin/plugins/" + fileName, fs::copy_options::overwrite_existing);
}

void CoreSandbox::WriteWorkFile(const std::string& fileName, const std::string& content)
{
    std::ofstream out(workDir() + "/" + fileName, std::ios::trunc);
    out << content;
    if (!out) {
        throw std::runtime_error("cannot write " + fileName);
    }
}

void CoreSandbox::ClearResults()
{
    for (const auto& entry : fs::directory_iterator(resultsDir())) {
        fs::remove(entry.path());
    }
}

bool CoreSandbox::HasResults(const std::vector<std::string>& names) const
{
    for (const auto& name : names) {
        std::error_code ignored;
        if (!fs::exists(resultsDir() + "/" + name + ".txt", ignored)) {
            return false;
        }
    }
    return true;
}

ResultWords CoreSandbox::Result(const std::string& name) const
{
    std::ifstream in(resultsDir() + "/" + name + ".txt");
    std::string line;
    std::getline(in, line);
    return ParseResultLine(line);
}

}  // namespace bench
