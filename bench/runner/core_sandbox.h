// A private installation of dvrcore for benchmark runs.
//
// Lays out, under a fresh temporary directory, what the device has: a copy
// of the executable (plugins are found beside its canonical path),
// bin/plugins with the plugin libraries of one set-up, and a working
// directory; plus a results directory where the benchmark plugins write. The
// whole tree is removed at destruction.
//
// Runner thread only.
#ifndef DVRCORE_BENCH_CORE_SANDBOX_H
#define DVRCORE_BENCH_CORE_SANDBOX_H

#include <map>
#include <string>
#include <vector>

namespace bench {

// One result file of a benchmark plugin: its "key=value" words.
using ResultWords = std::map<std::string, std::string>;

// Splits a result line into its words; a quoted value keeps its blanks.
ResultWords ParseResultLine(const std::string& line);

class CoreSandbox {
public:
    // Throws std::runtime_error when the tree cannot be made.
    explicit CoreSandbox(const std::string& coreExecutable);
    ~CoreSandbox();
    CoreSandbox(const CoreSandbox&) = delete;
    CoreSandbox& operator=(const CoreSandbox&) = delete;

    // Copies `library` into bin/plugins as `fileName`.
    void AddPlugin(const std::string& library, const std::string& fileName);
    // Writes `content` as work/`fileName` (core.xml, for one).
    void WriteWorkFile(const std::string& fileName, const std::string& content);

    std::string executable() const { return root_ + "/bin/dvrcore"; }
    std::string workDir() const { return root_ + "/work"; }
    std::string resultsDir() const { return root_ + "/results"; }
    std::string root() const { return root_; }

    // Empties the results directory before a run.
    void ClearResults();
    // True when every named result file ("bench_consumer_0" for
    // results/bench_consumer_0.txt) is there.
    bool HasResults(const std::vector<std::string>& names) const;
    // The words of one result file; empty when it is missing.
    ResultWords Result(const std::string& name) const;

private:
    std::string root_;
};

}  // namespace bench

#endif  // DVRCORE_BENCH_CORE_SANDBOX_H
