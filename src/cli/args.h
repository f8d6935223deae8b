// A small command-line parser for qrv-cli: positional arguments and
// "--name value" / "--flag" options.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace qrv::cli {

class TArgs {
  public:
    // flags: option names that take no value (without the leading "--").
    TArgs(const std::vector<std::string>& argv, const std::set<std::string>& flags);

    const std::vector<std::string>& Positional() const { return positional_; }
    bool Has(const std::string& name) const { return options_.count(name) > 0; }
    std::optional<std::string> Get(const std::string& name) const;
    // Integer option; throws std::invalid_argument with a clear text when not a whole number.
    std::optional<int64_t> Get_Int(const std::string& name) const;
    // Names of options that were given but are not in the allowed set.
    std::vector<std::string> Unknown(const std::set<std::string>& allowed) const;

  private:
    std::vector<std::string> positional_;
    std::map<std::string, std::string> options_;
};

// Strict decimal conversion of a whole text; throws std::invalid_argument naming what.
int64_t Parse_Int(const std::string& text, const std::string& what);

} // namespace qrv::cli
