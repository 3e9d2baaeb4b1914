#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/Accessibility.h"

namespace harbelle::testing {

// Accessibility in memory: scripted applications, elements and refusals. Replies go through
// the clock (after `setReplyDelay`, 0 by default), so with a ManualClock nothing is answered
// before the test runs the clock; a reply later than the deadline becomes `timedOut`.
// Edits behave like a GTK field: offsets in characters, insertion length in UTF-8 bytes.
class FakeAccessibility final : public Accessibility {
public:
    explicit FakeAccessibility(Clock& clock);

    bool isAvailable() override { return available_; }
    bool isTrusted() override { return available_ && trusted_; }
    bool requestTrust() override;

    void focusedElement(std::int64_t processId, Milliseconds deadline, QObject* context,
                        Reply<AXElement> reply) override;
    bool remembersFocusedElement(std::int64_t processId) override { return remembering_.count(processId) > 0; }
    void focusedWindow(std::int64_t processId, Milliseconds deadline, QObject* context,
                       Reply<AXElement> reply) override;
    void readElement(const AXElement& element, Milliseconds deadline, QObject* context,
                     Reply<ElementInfo> reply) override;
    void setFocus(const AXElement& element, Milliseconds deadline, QObject* context, Reply<bool> reply) override;
    void insertText(const AXElement& element, const std::string& text, Milliseconds deadline, QObject* context,
                    StatusReply reply) override;

    // --- scripting
    void setAvailable(bool available) { available_ = available; }
    void setTrusted(bool trusted) { trusted_ = trusted; }
    // Whether requestTrust() turns trust on (the user agrees).
    void setGrantsTrustOnRequest(bool grants) { grantsOnRequest_ = grants; }
    void setReplyDelay(Milliseconds delay) { delay_ = delay; }
    // An application that never answers (a stopped process): every query about it times out.
    void setUnresponsive(std::int64_t processId, bool unresponsive);

    void addApplication(std::int64_t processId);
    AXElement addElement(std::int64_t processId, ElementInfo info);
    // A second handle of an existing element: sameElement() is true, the pointers differ.
    AXElement duplicateHandle(const AXElement& element) const;
    void setFocusedElement(std::int64_t processId, AXElement element);
    void setFocusedWindow(std::int64_t processId, AXElement window);
    void setRemembersFocus(std::int64_t processId) { remembering_.insert(processId); }
    // The field last seen gaining the focus, in `window`: focusedElement() answers with it while
    // the application names no focused element, as the lookup judges its read.
    void setRememberedField(std::int64_t processId, AXElement element, AXElement window);
    // How reads of the element are answered: in full, never (a program busy or stopped in the
    // middle of one), with an error, or as not showing.
    enum class Reads { answered, unanswered, refused, hidden };
    void setReads(const AXElement& element, Reads reads);
    void removeElement(const AXElement& element);
    ElementInfo info(const AXElement& element) const;
    void setInfo(const AXElement& element, ElementInfo info);
    void refuseInsertion(const AXElement& element, AXStatus status = AXStatus::failed);
    void refuseFocus(const AXElement& element);

    // Calls made, e.g. "focusedElement 42", "insertText fake-1 hello".
    const std::vector<std::string>& calls() const { return calls_; }
    // Length argument of the last insertion (bytes).
    int lastInsertionLength() const { return lastInsertionLength_; }

private:
    struct Application {
        AXElement focusedElement;
        AXElement focusedWindow;
        AXElement rememberedField;
        AXElement rememberedWindow;
        bool unresponsive = false;
    };
    struct ElementState {
        std::int64_t processId = 0;
        ElementInfo info;
        std::optional<AXStatus> insertionRefusal;
        bool refusesFocus = false;
        Reads reads = Reads::answered;
    };

    template <class T>
    void answer(std::int64_t processId, Milliseconds deadline, QObject* context, Reply<T> reply,
                std::function<AXResult<T>()> work, bool stalls = false);
    // The remembered field as a lookup finds it (forgotten when the verdict says so).
    AXResult<AXElement> rememberedField(std::int64_t processId);
    bool readStalls(const AXElement& element) const;
    ElementState* state(const AXElement& element);
    const ElementState* state(const AXElement& element) const;
    bool responsive(std::int64_t processId) const;

    Clock& clock_;
    bool available_ = true;
    bool trusted_ = true;
    bool grantsOnRequest_ = true;
    Milliseconds delay_{0};
    std::map<std::int64_t, Application> applications_;
    std::map<std::string, ElementState> elements_;
    std::vector<std::string> calls_;
    std::set<std::int64_t> remembering_;
    int nextElement_ = 1;
    int lastInsertionLength_ = -1;
};

}  // namespace harbelle::testing
