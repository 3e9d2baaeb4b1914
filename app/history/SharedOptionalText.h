#pragma once

#include <atomic>
#include <concepts>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace harbelle {

// An optional text that copies share, for the clip fields that repeat from clip to clip (the
// device a clip came from): eight bytes in the clip where std::optional<std::string> takes
// forty, and one string for every clip that names the same device, when the history file is
// read. Reads like std::optional<std::string>, so code written against it keeps working; the
// text is never changed in place (assigning gives this field a text of its own), so copies on
// other threads read it safely.
class SharedOptionalText {
public:
    SharedOptionalText() noexcept = default;
    SharedOptionalText(std::nullopt_t) noexcept {}
    SharedOptionalText(const SharedOptionalText& other) noexcept : shared_(other.shared_) { retain(); }
    SharedOptionalText(SharedOptionalText&& other) noexcept : shared_(std::exchange(other.shared_, nullptr)) {}
    SharedOptionalText(const std::optional<std::string>& other)
        : shared_(other ? new Shared(*other) : nullptr) {}
    SharedOptionalText(std::optional<std::string>&& other)
        : shared_(other ? new Shared(std::move(*other)) : nullptr) {}
    template <class U>
        requires(std::constructible_from<std::string, U> &&
                 !std::same_as<std::remove_cvref_t<U>, SharedOptionalText> &&
                 !std::same_as<std::remove_cvref_t<U>, std::optional<std::string>> &&
                 !std::same_as<std::remove_cvref_t<U>, std::nullopt_t>)
    SharedOptionalText(U&& value) : shared_(new Shared(std::string(std::forward<U>(value)))) {}
    ~SharedOptionalText() { release(); }

    SharedOptionalText& operator=(const SharedOptionalText& other) noexcept {
        SharedOptionalText copy(other);
        swap(copy);
        return *this;
    }
    SharedOptionalText& operator=(SharedOptionalText&& other) noexcept {
        SharedOptionalText taken(std::move(other));
        swap(taken);
        return *this;
    }
    SharedOptionalText& operator=(std::nullopt_t) noexcept {
        reset();
        return *this;
    }
    template <class U>
        requires(std::constructible_from<SharedOptionalText, U> &&
                 !std::same_as<std::remove_cvref_t<U>, SharedOptionalText> &&
                 !std::same_as<std::remove_cvref_t<U>, std::nullopt_t>)
    SharedOptionalText& operator=(U&& value) {
        SharedOptionalText made(std::forward<U>(value));
        swap(made);
        return *this;
    }

    template <class... Args>
    const std::string& emplace(Args&&... args) {
        *this = SharedOptionalText(std::string(std::forward<Args>(args)...));
        return shared_->text;
    }
    void reset() noexcept {
        release();
        shared_ = nullptr;
    }
    void swap(SharedOptionalText& other) noexcept { std::swap(shared_, other.shared_); }

    bool has_value() const noexcept { return shared_ != nullptr; }
    explicit operator bool() const noexcept { return shared_ != nullptr; }
    const std::string& operator*() const { return shared_->text; }
    const std::string* operator->() const { return &shared_->text; }
    const std::string& value() const {
        if (!shared_) throw std::bad_optional_access();
        return shared_->text;
    }
    template <class U>
    std::string value_or(U&& fallback) const {
        return shared_ ? shared_->text : static_cast<std::string>(std::forward<U>(fallback));
    }

    // For callers that take a std::optional.
    operator std::optional<std::string>() const {
        return shared_ ? std::optional<std::string>(shared_->text) : std::nullopt;
    }

    friend bool operator==(const SharedOptionalText& a, const SharedOptionalText& b) {
        if (a.shared_ == b.shared_) return true;
        if (!a.shared_ || !b.shared_) return false;
        return a.shared_->text == b.shared_->text;
    }
    friend bool operator==(const SharedOptionalText& a, std::nullopt_t) noexcept { return !a.shared_; }
    friend bool operator==(const SharedOptionalText& a, const std::optional<std::string>& b) {
        if (!a.shared_ || !b) return !a.shared_ && !b;
        return a.shared_->text == *b;
    }
    template <class U>
        requires(!std::same_as<U, SharedOptionalText> && !std::same_as<U, std::optional<std::string>> &&
                 !std::same_as<U, std::nullopt_t> && requires(const std::string& t, const U& u) { t == u; })
    friend bool operator==(const SharedOptionalText& a, const U& b) {
        return a.shared_ && a.shared_->text == b;
    }

private:
    struct Shared {
        explicit Shared(std::string value) : text(std::move(value)) {}
        std::atomic<std::size_t> references{1};
        const std::string text;
    };

    void retain() noexcept {
        if (shared_) shared_->references.fetch_add(1, std::memory_order_relaxed);
    }
    void release() noexcept {
        if (shared_ && shared_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete shared_;
    }

    Shared* shared_ = nullptr;
};

}  // namespace harbelle
