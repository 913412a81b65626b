// The subcommands of kestrelvox-file; each returns the exit status or throws
// a Failure.
#pragma once

#include <string>
#include <vector>

namespace kvfile {

using Arguments = std::vector<std::string>;

// Splits arguments into positional ones and options; options in withValue
// take the next argument. Unknown options and a wrong count are usage faults.
struct ParsedArguments {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;
    bool has(const std::string &name) const;
    std::string value(const std::string &name, const std::string &fallback) const;
};
ParsedArguments parseArguments(const Arguments &args, size_t positional, const std::vector<std::string> &flags,
                               const std::vector<std::string> &withValue);

int runInfo(const Arguments &args);
int runExport(const Arguments &args);
int runImport(const Arguments &args);
int runMakeAv(const Arguments &args);

} // namespace kvfile
