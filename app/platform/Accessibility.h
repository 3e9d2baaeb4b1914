#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Clock.h"

namespace harbelle {

// An element of another application's accessibility tree. Opaque: callers keep it, compare it
// and hand it back. Releasing the last reference is safe on any thread.
class AccessibleElement {
public:
    virtual ~AccessibleElement() = default;
    // The owning process, or 0 when unknown.
    virtual std::int64_t processId() const = 0;
    // Equal for two handles of the same element of the same application.
    virtual const std::string& identity() const = 0;
};
using AXElement = std::shared_ptr<const AccessibleElement>;

inline bool sameElement(const AXElement& a, const AXElement& b) {
    return a && b && a->identity() == b->identity();
}

enum class AXStatus {
    success = 0,
    notTrusted,     // no accessibility bus, or accessibility is switched off
    noApplication,  // no accessible application with that process id
    noElement,      // the application has no focused element / window, or the element is gone
    notSupported,   // the element has no (editable) text
    failed,         // the application answered with an error
    timedOut,       // no answer before the deadline; the application may be stopped or busy
};
const char* axStatusName(AXStatus status);

template <class T>
struct AXResult {
    AXStatus status = AXStatus::failed;
    T value{};
    bool ok() const { return status == AXStatus::success; }
};

// Character offsets as the application reports them; start <= end.
struct TextRange {
    int start = 0;
    int end = 0;
    bool empty() const { return start == end; }
    bool operator==(const TextRange&) const = default;
};

// What one read of an element gives. Fields the element does not offer stay empty.
struct ElementInfo {
    std::string role;                   // the toolkit's role name, e.g. "text", "entry", "push button"
    std::optional<std::string> value;   // the whole text, UTF-8
    std::optional<int> characterCount;
    std::optional<int> caretOffset;
    std::optional<TextRange> selection; // the first selected range, when one is selected
    bool editable = false;
    bool focused = false;
};

// One read of the field last seen gaining the focus, made when its application names no focused
// element (the field lost the focus to the shelf or to a keyboard grab). `status` is the read's
// own: success, timedOut when it went unanswered, or the application's refusal.
struct RememberedFieldRead {
    AXStatus status = AXStatus::success;
    bool defunct = false;
    bool showing = false;
    // Inside the window the user is in.
    bool inUserWindow = false;
};
// What a lookup makes of that read: the field is taken, kept for a later lookup (it shows in
// another window, or did not answer, which says nothing about whether it is still there), or
// forgotten (gone, hidden, or refusing).
enum class RememberedFieldVerdict { take, keep, forget };
RememberedFieldVerdict judgeRememberedField(const RememberedFieldRead& read);

// A short text that changes when the field's content or caret changes, or nothing when the
// field cannot be read. Stable for the life of the process only.
std::optional<std::string> textFingerprint(const ElementInfo& info);

// Reading and editing other applications' text fields.
//
// Queries to another application can block for seconds (a stopped application never answers),
// so every element operation is asynchronous: it returns at once and later calls `reply`
// exactly once on the main thread, with `timedOut` when no answer came within `deadline`.
// When `context` is destroyed first, `reply` is never called. An edit that timed out may still
// take effect if the application wakes up later.
class Accessibility {
public:
    template <class T>
    using Reply = std::function<void(AXResult<T>)>;
    using StatusReply = std::function<void(AXStatus)>;
    static constexpr Milliseconds defaultDeadline{1500};

    virtual ~Accessibility() = default;

    // Whether an accessibility bus exists at all. Synchronous and quick: it asks the session
    // bus, never another application.
    virtual bool isAvailable() = 0;
    // The bus exists and accessibility is enabled on it (the "trusted" of the paste engine).
    virtual bool isTrusted() = 0;
    // Main thread: isAvailable() or isTrusted() may have changed (set by the owner).
    std::function<void()> onTrustChanged;

    // Enables accessibility on the bus when it is off; returns isTrusted() as known now.
    // Applications started before may only expose their elements after a restart.
    virtual bool requestTrust() = 0;

    virtual void focusedElement(std::int64_t processId, Milliseconds deadline, QObject* context,
                                Reply<AXElement> reply) = 0;
    // Whether focusedElement answers for the process even after its element lost the focus to
    // another window: the element's last focus gain was seen. Quick; asks no application.
    virtual bool remembersFocusedElement(std::int64_t) { return false; }
    virtual void focusedWindow(std::int64_t processId, Milliseconds deadline, QObject* context,
                               Reply<AXElement> reply) = 0;
    virtual void readElement(const AXElement& element, Milliseconds deadline, QObject* context,
                             Reply<ElementInfo> reply) = 0;
    // Moves keyboard focus to the element; the value tells whether it is focused afterwards.
    virtual void setFocus(const AXElement& element, Milliseconds deadline, QObject* context,
                          Reply<bool> reply) = 0;
    // Deletes the selected range, then inserts `text` (UTF-8) at the caret. The rest of the
    // field is never rewritten.
    virtual void insertText(const AXElement& element, const std::string& text, Milliseconds deadline,
                            QObject* context, StatusReply reply) = 0;

    // Gives up every request made with `context` that has not been carried out yet: none of them
    // changes anything any more, and each still gets its reply (`timedOut` when it was dropped).
    virtual void abandon(QObject* context) { (void)context; }

    // readElement + textFingerprint; `notSupported` when the field cannot be fingerprinted.
    void fingerprint(const AXElement& element, Milliseconds deadline, QObject* context,
                     Reply<std::string> reply);
};

}  // namespace harbelle
