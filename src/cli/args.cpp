#include "cli/args.h"

#include <charconv>

namespace qrv::cli {

TArgs::TArgs(const std::vector<std::string>& argv, const std::set<std::string>& flags) {
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a.size() > 2 && a.rfind("--", 0) == 0) {
            std::string name = a.substr(2);
            auto eq = name.find('=');
            if (eq != std::string::npos) {
                options_[name.substr(0, eq)] = name.substr(eq + 1);
            } else if (flags.count(name)) {
                options_[name] = "";
            } else {
                if (i + 1 >= argv.size()) throw std::invalid_argument("option --" + name + " needs a value");
                options_[name] = argv[++i];
            }
        } else if (a == "-h" && flags.count("help")) {
            options_["help"] = ""; // the short form every program answers
        } else {
            positional_.push_back(a);
        }
    }
}

std::optional<std::string> TArgs::Get(const std::string& name) const {
    auto it = options_.find(name);
    if (it == options_.end()) return std::nullopt;
    return it->second;
}

std::optional<int64_t> TArgs::Get_Int(const std::string& name) const {
    auto v = Get(name);
    if (!v) return std::nullopt;
    return Parse_Int(*v, "--" + name);
}

std::vector<std::string> TArgs::Unknown(const std::set<std::string>& allowed) const {
    std::vector<std::string> out;
    for (const auto& [k, v] : options_)
        if (!allowed.count(k)) out.push_back(k);
    return out;
}

int64_t Parse_Int(const std::string& text, const std::string& what) {
    int64_t v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || p != text.data() + text.size())
        throw std::invalid_argument(what + ": '" + text + "' is not a whole number");
    return v;
}

} // namespace qrv::cli
