#pragma once

#include <expected>
#include <linux/filter.h>
#include <string>
#include <vector>

namespace ovaline::sandbox {

// A system-call filter for a tenant's programs, compiled once in the parent and loaded in a
// forked child right before exec. It refuses what a tenant never needs: new namespaces and
// mounts, the kernel's keyrings, modules, BPF, performance counters, handles to files
// outside its root, and the host's clock, swap, accounting and logs. Everything else is
// allowed. A system call of a foreign architecture kills the process.
class SeccompFilter {
  public:
    // The tenant filter for this machine's architecture, or errno and what failed.
    static std::expected<SeccompFilter, std::string> tenant();

    // Loads the filter into the calling process, after which it can never gain privileges
    // by exec. Async-signal-safe: meant for a forked child. 0, or the errno.
    int load() const noexcept;

  private:
    explicit SeccompFilter(std::vector<sock_filter> program) : program_(std::move(program)) {}

    std::vector<sock_filter> program_;
};

} // namespace ovaline::sandbox
