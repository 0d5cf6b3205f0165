// src/core/stack.hpp: a growable array that reports running out of memory instead of throwing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

#include "core/portable.hpp"

namespace velkora::wire {

/// A growable array of trivially copyable items that says when memory runs out instead of throwing.
template <typename T>
class Stack {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Stack() = default;
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;
    Stack(Stack&& other) noexcept
        : items_(std::exchange(other.items_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Stack& operator=(Stack&& other) noexcept {
        if (this != &other) {
            std::free(items_);
            items_ = std::exchange(other.items_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~Stack() { std::free(items_); }

    /// False when memory runs out; the stack is then as it was.
    [[nodiscard]] VELKORA_INLINE bool push(const T& item) {
        if (VELKORA_UNLIKELY(size_ == capacity_) && !grow(size_ + 1)) return false;
        items_[size_++] = item;
        return true;
    }
    /// Room for `n` items in all, so that pushes up to there cannot fail; false when refused.
    [[nodiscard]] bool reserve(size_t n) { return n <= capacity_ || grow(n); }
    /// `n` items, those past the old size left uninitialised; false when refused (the stack as it was).
    [[nodiscard]] bool resize(size_t n) {
        if (!reserve(n)) return false;
        size_ = n;
        return true;
    }
    void truncate(size_t n) { size_ = n; }
    void clear() { size_ = 0; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* data() { return items_; }
    const T* data() const { return items_; }
    T* begin() { return items_; }
    T* end() { return items_ + size_; }
    const T* begin() const { return items_; }
    const T* end() const { return items_ + size_; }
    T& operator[](size_t i) { return items_[i]; }
    const T& operator[](size_t i) const { return items_[i]; }

private:
    bool grow(size_t wanted) {
        size_t capacity = capacity_ ? capacity_ * 2 : 8;
        if (capacity < wanted) capacity = wanted;
        if (capacity > SIZE_MAX / sizeof(T)) return false;
        void* grown = std::realloc(items_, capacity * sizeof(T));
        if (!grown) return false;
        items_ = static_cast<T*>(grown);
        capacity_ = capacity;
        return true;
    }

    T* items_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

/// Runs `allocate` (the growth of a standard container, or a string built) and says whether it found the
/// memory. A std::bad_alloc is caught here, next to the allocation, so that none unwinds through a decode
/// loop: running out of memory goes on as a value.
template <typename F>
[[nodiscard]] bool allocates(F&& allocate) noexcept {
    try {
        allocate();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace velkora::wire
