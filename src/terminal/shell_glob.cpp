#include "terminal/shell_glob.hpp"

#include <algorithm>

#include "fs/name_pattern.hpp"

namespace ovaline::terminal {

namespace {

struct Match {
    std::string path;
    fs::InodeId id;
};

std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            ++i;
        }
        out.push_back(text[i]);
    }
    return out;
}

std::vector<std::string_view> components(std::string_view pattern) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= pattern.size(); ++i) {
        if (i == pattern.size() || pattern[i] == '/') {
            if (i > start) {
                parts.push_back(pattern.substr(start, i - start));
            }
            start = i + 1;
        }
    }
    return parts;
}

bool is_directory(const TerminalContext& context, fs::InodeId id) {
    auto is_dir = context.filesystem->is_directory_raw(id);
    return is_dir && *is_dir;
}

} // namespace

std::vector<std::string> glob(const TerminalContext& context, std::string_view pattern) {
    const bool absolute = pattern.starts_with('/');
    const bool directories_only = pattern.ends_with('/');
    std::vector<Match> current{
        {absolute ? "/" : "", absolute ? fs::FileSystem::kRoot : context.current_dir}};
    const auto parts = components(pattern);
    for (std::size_t k = 0; k < parts.size(); ++k) {
        const std::string_view part = parts[k];
        const bool last = k + 1 == parts.size();
        std::vector<Match> next;
        for (const Match& base : current) {
            const std::string prefix =
                base.path.empty() || base.path.ends_with('/') ? base.path : base.path + "/";
            if (!fs::has_wildcards(part, true)) {
                const std::string name = unescape(part);
                auto found = context.filesystem->find_inode_by_name(base.id, name);
                if (found && (last || is_directory(context, *found))) {
                    next.push_back({prefix + name, *found});
                }
                continue;
            }
            auto listing = context.filesystem->ls_raw(base.id);
            if (!listing) {
                continue;
            }
            const bool dots = part.starts_with('.') || part.starts_with("\\.");
            auto consider = [&](const std::string& name) {
                if ((name.starts_with('.') && !dots) || !fs::name_matches(part, name, true)) {
                    return;
                }
                if (auto found = context.filesystem->find_inode_by_name(base.id, name)) {
                    next.push_back({prefix + name, *found});
                }
            };
            if (last) {
                std::ranges::for_each(listing->files, consider);
            }
            std::ranges::for_each(listing->directories, consider);
        }
        current = std::move(next);
    }
    std::vector<std::string> paths;
    for (const Match& match : current) {
        if (!directories_only) {
            paths.push_back(match.path);
        } else if (is_directory(context, match.id)) {
            paths.push_back(match.path + "/");
        }
    }
    std::ranges::sort(paths);
    return paths;
}

} // namespace ovaline::terminal
