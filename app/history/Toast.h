#pragma once

#include <string>

namespace harbelle {

enum class ToastTone { success, info, error };

struct Toast {
    std::string message;
    ToastTone tone = ToastTone::success;
    bool operator==(const Toast&) const = default;
};

}  // namespace harbelle
