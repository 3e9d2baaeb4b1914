#pragma once

#include <concepts>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/Defaults.h"

namespace harbelle {

// An optional value kept behind one pointer (null = absent), for the clip fields that are
// empty on almost every clip: eight bytes where std::optional<std::string> takes forty.
// Reads like std::optional, so code written against std::optional keeps working; it copies
// deeply, like the value it stands for.
template <class T>
class BoxedOptional {
public:
    using value_type = T;

    BoxedOptional() noexcept = default;
    BoxedOptional(std::nullopt_t) noexcept {}
    BoxedOptional(const BoxedOptional& other) : value_(other.value_ ? std::make_unique<T>(*other.value_) : nullptr) {}
    BoxedOptional(BoxedOptional&&) noexcept = default;
    BoxedOptional(const std::optional<T>& other) : value_(other ? std::make_unique<T>(*other) : nullptr) {}
    BoxedOptional(std::optional<T>&& other)
        : value_(other ? std::make_unique<T>(std::move(*other)) : nullptr) {}
    template <class U>
        requires(std::constructible_from<T, U> && !std::same_as<std::remove_cvref_t<U>, BoxedOptional> &&
                 !std::same_as<std::remove_cvref_t<U>, std::optional<T>> &&
                 !std::same_as<std::remove_cvref_t<U>, std::nullopt_t>)
    BoxedOptional(U&& value) : value_(std::make_unique<T>(std::forward<U>(value))) {}

    BoxedOptional& operator=(const BoxedOptional& other) {
        if (this != &other) assign(other.value_.get());
        return *this;
    }
    BoxedOptional& operator=(BoxedOptional&&) noexcept = default;
    BoxedOptional& operator=(std::nullopt_t) noexcept {
        value_.reset();
        return *this;
    }
    BoxedOptional& operator=(const std::optional<T>& other) {
        assign(other ? &*other : nullptr);
        return *this;
    }
    BoxedOptional& operator=(std::optional<T>&& other) {
        if (other) emplace(std::move(*other));
        else value_.reset();
        return *this;
    }
    template <class U>
        requires(std::constructible_from<T, U> && !std::same_as<std::remove_cvref_t<U>, BoxedOptional> &&
                 !std::same_as<std::remove_cvref_t<U>, std::optional<T>> &&
                 !std::same_as<std::remove_cvref_t<U>, std::nullopt_t>)
    BoxedOptional& operator=(U&& value) {
        emplace(std::forward<U>(value));
        return *this;
    }

    template <class... Args>
    T& emplace(Args&&... args) {
        value_ = std::make_unique<T>(std::forward<Args>(args)...);
        return *value_;
    }
    void reset() noexcept { value_.reset(); }

    bool has_value() const noexcept { return value_ != nullptr; }
    explicit operator bool() const noexcept { return value_ != nullptr; }

    const T& operator*() const { return *value_; }
    T& operator*() { return *value_; }
    const T* operator->() const { return value_.get(); }
    T* operator->() { return value_.get(); }

    const T& value() const {
        if (!value_) throw std::bad_optional_access();
        return *value_;
    }
    T& value() {
        if (!value_) throw std::bad_optional_access();
        return *value_;
    }
    template <class U>
    T value_or(U&& fallback) const {
        return value_ ? *value_ : static_cast<T>(std::forward<U>(fallback));
    }

    // For callers that take a std::optional.
    operator std::optional<T>() const { return value_ ? std::optional<T>(*value_) : std::nullopt; }

    friend bool operator==(const BoxedOptional& a, const BoxedOptional& b) {
        if (!a.value_ || !b.value_) return !a.value_ && !b.value_;
        return *a.value_ == *b.value_;
    }
    friend bool operator==(const BoxedOptional& a, std::nullopt_t) noexcept { return !a.value_; }
    friend bool operator==(const BoxedOptional& a, const std::optional<T>& b) {
        if (!a.value_ || !b) return !a.value_ && !b;
        return *a.value_ == *b;
    }
    template <class U>
        requires(!std::same_as<U, BoxedOptional> && !std::same_as<U, std::optional<T>> &&
                 !std::same_as<U, std::nullopt_t> && requires(const T& t, const U& u) { t == u; })
    friend bool operator==(const BoxedOptional& a, const U& b) {
        return a.value_ && *a.value_ == b;
    }

private:
    void assign(const T* source) {
        if (!source) value_.reset();
        else if (value_) *value_ = *source;
        else value_ = std::make_unique<T>(*source);
    }

    std::unique_ptr<T> value_;
};

using OptionalText = BoxedOptional<std::string>;
using OptionalBytes = BoxedOptional<Bytes>;
using OptionalInt = BoxedOptional<std::int64_t>;

}  // namespace harbelle
