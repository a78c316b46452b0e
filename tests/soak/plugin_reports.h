// The figures that the soak plugins (and the fault plugins built on them)
// leave in SOAK_REPORT, read back by the soak driver and the fault tests.
#ifndef DVRCORE_TESTS_SOAK_PLUGIN_REPORTS_H
#define DVRCORE_TESTS_SOAK_PLUGIN_REPORTS_H

#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

// The words of each report line, by the role that starts it ("producer",
// "consumer", ...); the plugin's id is the first word after the role.
struct PluginReports {
    std::multimap<std::string, std::vector<std::string>> lines;

    explicit PluginReports(const std::string& text)
    {
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line);
            std::string role;
            words >> role;
            std::vector<std::string> rest;
            for (std::string word; words >> word;) {
                rest.push_back(word);
            }
            lines.emplace(role, rest);
        }
    }

    // The number after `name` in a line; 0 when the line has none.
    static uint64_t Value(const std::vector<std::string>& words, const std::string& name)
    {
        for (std::size_t i = 0; i + 1 < words.size(); ++i) {
            if (words[i] == name) {
                return std::strtoull(words[i + 1].c_str(), nullptr, 10);
            }
        }
        return 0;
    }

    // Sum of `name` over the lines of `role` (of plugin `id`, when given).
    uint64_t Sum(const std::string& role, const std::string& name, const std::string& id = "") const
    {
        uint64_t sum = 0;
        auto range = lines.equal_range(role);
        for (auto line = range.first; line != range.second; ++line) {
            if (id.empty() || (!line->second.empty() && line->second[0] == id)) {
                sum += Value(line->second, name);
            }
        }
        return sum;
    }

    // Every producer stream against every consumer that reports it: how many
    // events the producers had admitted (frames among them), how many a
    // consumer missed, got twice or out of order, and a text for each stream
    // that did not reach exactly `consumers` consumers whole.
    struct StreamCheck {
        uint64_t events = 0;
        uint64_t frames = 0;
        uint64_t lost = 0;
        std::vector<std::string> failures;
    };
    StreamCheck CheckStreams(int consumers) const
    {
        StreamCheck check;
        auto producers = lines.equal_range("producer");
        for (auto line = producers.first; line != producers.second; ++line) {
            const auto& words = line->second;
            if (words.size() < 5 || words[1] != "stream") {
                continue;
            }
            const uint64_t admitted = Value(words, "admitted");
            check.events += admitted;
            check.frames += words[2] == "2" ? 0 : admitted;  // stream 2 is the general events
            const std::string stream = words[0] + " stream " + words[2];
            int reached = 0;
            auto seen = lines.equal_range("consumer");
            for (auto consumer = seen.first; consumer != seen.second; ++consumer) {
                const auto& got = consumer->second;
                if (got.size() < 5 || got[1] != "from" || got[2] != words[0] || got[4] != words[2]) {
                    continue;
                }
                ++reached;
                const uint64_t received = Value(got, "received");
                const uint64_t wrong = (admitted > received ? admitted - received : received - admitted) +
                                       Value(got, "lost") + Value(got, "disorder");
                check.lost += wrong;
                if (wrong != 0) {
                    check.failures.push_back("consumer " + got[0] + " got " + std::to_string(received) + " of " +
                                             std::to_string(admitted) + " events of producer " + stream + " (" +
                                             std::to_string(Value(got, "lost")) + " missing in between, " +
                                             std::to_string(Value(got, "disorder")) + " out of order)");
                }
            }
            if (reached != consumers && admitted != 0) {
                check.failures.push_back("producer " + stream + " reached " + std::to_string(reached) + " consumers");
            }
        }
        return check;
    }
};

#endif  // DVRCORE_TESTS_SOAK_PLUGIN_REPORTS_H
