#include "fs/glob.hpp"

#include <algorithm>

#include "fs/name_pattern.hpp"
#include "fs/tree_walk.hpp"

namespace ovaline::fs {

namespace {

bool hidden(std::string_view name) {
    return !name.empty() && name.front() == '.';
}

// The name a component without wildcards stands for.
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

// A directory reached so far, with the path that reached it.
struct Reached {
    InodeId id;
    std::string path;
};

class Globber {
  public:
    Globber(const FileSystem& fs, std::vector<std::string_view> parts, bool directories_only,
            const GlobOptions& options)
        : fs_(fs), parts_(std::move(parts)), directories_only_(directories_only),
          options_(options) {}

    // Matches parts_[i..] below `dir`, appending what matches to `out`.
    void match(const Reached& dir, std::size_t i, std::vector<std::string>& out) const {
        const std::string_view part = parts_[i];
        const bool last = i + 1 == parts_.size();
        if (part == "**" && options_.recursive) {
            if (last) {
                // The directory itself, marked as one, then everything below it.
                if (!dir.path.empty()) {
                    out.push_back(join_path(dir.path, ""));
                }
                everything_below(dir, out);
                return;
            }
            match(dir, i + 1, out);
            directories_below(dir, [&](const Reached& below) { match(below, i + 1, out); });
            return;
        }
        if (!has_wildcards(part, options_.escapes)) {
            const std::string name = options_.escapes ? unescape(part) : std::string(part);
            auto id = fs_.find_inode_by_name(dir.id, name);
            if (id) {
                offer(Reached{*id, join_path(dir.path, name)}, i, out);
            }
            return;
        }
        auto listing = fs_.ls_raw(dir.id);
        if (!listing) {
            return;
        }
        const bool dotted = hidden(part) || (options_.escapes && part.starts_with("\\."));
        auto matching = [&](const std::string& name) {
            return (dotted || !hidden(name)) && name_matches(part, name, options_.escapes);
        };
        for (const std::string& name : listing->directories) {
            if (matching(name)) {
                if (auto id = fs_.find_inode_by_name(dir.id, name)) {
                    offer(Reached{*id, join_path(dir.path, name)}, i, out);
                }
            }
        }
        if (last && !directories_only_) {
            for (const std::string& name : listing->files) {
                if (matching(name)) {
                    out.push_back(join_path(dir.path, name));
                }
            }
        }
    }

  private:
    // `found` matched parts_[i]: the end of the pattern, or a directory to go on from.
    void offer(const Reached& found, std::size_t i, std::vector<std::string>& out) const {
        const bool directory = fs_.is_directory_raw(found.id).value_or(false);
        if (i + 1 < parts_.size()) {
            if (directory) {
                match(found, i + 1, out);
            }
        } else if (!directories_only_) {
            out.push_back(found.path);
        } else if (directory) {
            out.push_back(join_path(found.path, ""));
        }
    }

    template <class Visit> void directories_below(const Reached& dir, Visit&& visit) const {
        auto listing = fs_.ls_raw(dir.id);
        if (!listing) {
            return;
        }
        for (const std::string& name : listing->directories) {
            if (hidden(name)) {
                continue;
            }
            if (auto id = fs_.find_inode_by_name(dir.id, name)) {
                const Reached below{*id, join_path(dir.path, name)};
                visit(below);
                directories_below(below, visit);
            }
        }
    }

    void everything_below(const Reached& dir, std::vector<std::string>& out) const {
        auto listing = fs_.ls_raw(dir.id);
        if (!listing) {
            return;
        }
        if (!directories_only_) {
            for (const std::string& name : listing->files) {
                if (!hidden(name)) {
                    out.push_back(join_path(dir.path, name));
                }
            }
        }
        for (const std::string& name : listing->directories) {
            if (hidden(name)) {
                continue;
            }
            if (auto id = fs_.find_inode_by_name(dir.id, name)) {
                const Reached below{*id, join_path(dir.path, name)};
                out.push_back(directories_only_ ? join_path(below.path, "") : below.path);
                everything_below(below, out);
            }
        }
    }

    const FileSystem& fs_;
    std::vector<std::string_view> parts_;
    bool directories_only_;
    const GlobOptions& options_;
};

} // namespace

std::vector<std::string> glob(const FileSystem& fs, std::string_view pattern,
                              const GlobOptions& options) {
    std::vector<std::string> out;
    if (pattern.empty()) {
        return out;
    }
    auto is_separator = [&](char c) { return c == '/' || (c == '\\' && !options.escapes); };
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= pattern.size(); ++i) {
        if (i == pattern.size() || is_separator(pattern[i])) {
            if (i > start) {
                parts.push_back(pattern.substr(start, i - start));
            }
            start = i + 1;
        }
    }
    const bool absolute = is_separator(pattern.front());
    if (parts.empty()) {
        // The root itself.
        out.emplace_back("/");
        return out;
    }
    Globber(fs, std::move(parts), is_separator(pattern.back()), options)
        .match(Reached{absolute ? FileSystem::kRoot : options.dir, absolute ? "/" : ""}, 0, out);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

} // namespace ovaline::fs
