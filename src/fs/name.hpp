#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

namespace ovaline::fs {

// An entry's name in sixteen bytes, one inode holding one: up to fifteen bytes are kept
// inline, which covers most names; a longer one lives on the heap behind its length.
class Name {
  public:
    Name() { set_inline({}); }
    explicit Name(std::string_view text) { assign(text); }
    Name(const Name& other) : Name(other.view()) {}
    Name(Name&& other) noexcept : bytes_(other.bytes_) { other.set_inline({}); }
    Name& operator=(const Name& other) { return *this = other.view(); }
    Name& operator=(std::string_view text) {
        // A copy first: `text` may be this very name.
        Name next(text);
        std::swap(bytes_, next.bytes_);
        return *this;
    }
    ~Name() {
        if (on_heap()) {
            delete[] heap();
        }
    }

    std::string_view view() const {
        if (on_heap()) {
            std::size_t size;
            std::memcpy(&size, heap(), sizeof size);
            return {heap() + sizeof size, size};
        }
        return {bytes_.data(), kInline - static_cast<std::size_t>(bytes_[kInline])};
    }
    operator std::string_view() const { return view(); }
    friend bool operator==(const Name& a, std::string_view b) { return a.view() == b; }

  private:
    static constexpr std::size_t kInline = 15;
    static constexpr char kHeap = static_cast<char>(0xff);

    bool on_heap() const { return bytes_[kInline] == kHeap; }
    char* heap() const {
        char* block;
        std::memcpy(&block, bytes_.data(), sizeof block);
        return block;
    }
    void set_inline(std::string_view text) {
        std::copy(text.begin(), text.end(), bytes_.begin());
        bytes_[kInline] = static_cast<char>(kInline - text.size());
    }
    void assign(std::string_view text) {
        if (text.size() <= kInline) {
            set_inline(text);
            return;
        }
        const std::size_t size = text.size();
        char* block = new char[sizeof size + size];
        std::memcpy(block, &size, sizeof size);
        std::copy(text.begin(), text.end(), block + sizeof size);
        std::memcpy(bytes_.data(), &block, sizeof block);
        bytes_[kInline] = kHeap;
    }

    std::array<char, kInline + 1> bytes_;
};

} // namespace ovaline::fs
