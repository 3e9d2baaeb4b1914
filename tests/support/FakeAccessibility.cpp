#include "support/FakeAccessibility.h"

#include <QPointer>
#include <QString>

#include "platform/TextInsertion.h"

namespace harbelle::testing {

namespace {

class FakeElement final : public AccessibleElement {
public:
    FakeElement(std::int64_t processId, std::string identity)
        : processId_(processId), identity_(std::move(identity)) {}
    std::int64_t processId() const override { return processId_; }
    const std::string& identity() const override { return identity_; }

private:
    std::int64_t processId_;
    std::string identity_;
};

}  // namespace

FakeAccessibility::FakeAccessibility(Clock& clock) : clock_(clock) {}

bool FakeAccessibility::requestTrust() {
    calls_.push_back("requestTrust");
    if (available_ && grantsOnRequest_) trusted_ = true;
    return isTrusted();
}

void FakeAccessibility::setUnresponsive(std::int64_t processId, bool unresponsive) {
    applications_[processId].unresponsive = unresponsive;
}

void FakeAccessibility::addApplication(std::int64_t processId) { applications_[processId]; }

AXElement FakeAccessibility::addElement(std::int64_t processId, ElementInfo info) {
    addApplication(processId);
    const std::string identity = "fake-" + std::to_string(nextElement_++);
    elements_[identity] = ElementState{processId, std::move(info), std::nullopt, false};
    return std::make_shared<FakeElement>(processId, identity);
}

AXElement FakeAccessibility::duplicateHandle(const AXElement& element) const {
    return std::make_shared<FakeElement>(element->processId(), element->identity());
}

void FakeAccessibility::setFocusedElement(std::int64_t processId, AXElement element) {
    applications_[processId].focusedElement = std::move(element);
}

void FakeAccessibility::setFocusedWindow(std::int64_t processId, AXElement window) {
    applications_[processId].focusedWindow = std::move(window);
}

void FakeAccessibility::setRememberedField(std::int64_t processId, AXElement element, AXElement window) {
    Application& app = applications_[processId];
    app.rememberedField = std::move(element);
    app.rememberedWindow = std::move(window);
    remembering_.insert(processId);
}

void FakeAccessibility::setReads(const AXElement& element, Reads reads) {
    if (ElementState* found = state(element)) found->reads = reads;
}

bool FakeAccessibility::readStalls(const AXElement& element) const {
    const ElementState* found = state(element);
    return found && found->reads == Reads::unanswered;
}

AXResult<AXElement> FakeAccessibility::rememberedField(std::int64_t processId) {
    Application& app = applications_[processId];
    RememberedFieldRead read;
    const ElementState* field = state(app.rememberedField);
    read.defunct = !field;
    if (field && field->reads == Reads::unanswered) read.status = AXStatus::timedOut;
    if (field && field->reads == Reads::refused) read.status = AXStatus::failed;
    read.showing = field && field->reads != Reads::hidden;
    read.inUserWindow = !app.rememberedWindow || sameElement(app.rememberedWindow, app.focusedWindow);
    switch (judgeRememberedField(read)) {
        case RememberedFieldVerdict::take: return {AXStatus::success, duplicateHandle(app.rememberedField)};
        case RememberedFieldVerdict::forget:
            app.rememberedField = nullptr;
            remembering_.erase(processId);
            break;
        case RememberedFieldVerdict::keep: break;
    }
    return {read.status == AXStatus::timedOut ? AXStatus::timedOut : AXStatus::noElement, {}};
}

void FakeAccessibility::removeElement(const AXElement& element) { elements_.erase(element->identity()); }

ElementInfo FakeAccessibility::info(const AXElement& element) const {
    const ElementState* found = state(element);
    return found ? found->info : ElementInfo{};
}

void FakeAccessibility::setInfo(const AXElement& element, ElementInfo info) {
    if (ElementState* found = state(element)) found->info = std::move(info);
}

void FakeAccessibility::refuseInsertion(const AXElement& element, AXStatus status) {
    if (ElementState* found = state(element)) found->insertionRefusal = status;
}

void FakeAccessibility::refuseFocus(const AXElement& element) {
    if (ElementState* found = state(element)) found->refusesFocus = true;
}

FakeAccessibility::ElementState* FakeAccessibility::state(const AXElement& element) {
    if (!element) return nullptr;
    auto found = elements_.find(element->identity());
    return found == elements_.end() ? nullptr : &found->second;
}

const FakeAccessibility::ElementState* FakeAccessibility::state(const AXElement& element) const {
    return const_cast<FakeAccessibility*>(this)->state(element);
}

bool FakeAccessibility::responsive(std::int64_t processId) const {
    auto found = applications_.find(processId);
    return found == applications_.end() || !found->second.unresponsive;
}

template <class T>
void FakeAccessibility::answer(std::int64_t processId, Milliseconds deadline, QObject* context, Reply<T> reply,
                               std::function<AXResult<T>()> work, bool stalls) {
    auto answered = std::make_shared<bool>(false);
    const bool guarded = context != nullptr;
    QPointer<QObject> guard(context);
    auto finish = [answered, guarded, guard, reply](AXResult<T> result) {
        if (*answered) return;
        *answered = true;
        if (guarded && !guard) return;
        reply(std::move(result));
    };
    if (!isTrusted()) {
        clock_.schedule(Milliseconds(0), [finish] { finish({AXStatus::notTrusted, {}}); }).detach();
        return;
    }
    if (stalls) {
        // Unanswered until the deadline: whatever the work leaves behind happens then.
        clock_.schedule(deadline, [finish, work = std::move(work)] { finish(work()); }).detach();
        return;
    }
    if (responsive(processId)) {
        // The work runs when the reply is due, as a real application answers when it gets to it.
        clock_.schedule(delay_, [finish, answered, work = std::move(work)] {
            if (!*answered) finish(work());
        }).detach();
    }
    clock_.schedule(deadline, [finish] { finish({AXStatus::timedOut, {}}); }).detach();
}

void FakeAccessibility::focusedElement(std::int64_t processId, Milliseconds deadline, QObject* context,
                                       Reply<AXElement> reply) {
    calls_.push_back("focusedElement " + std::to_string(processId));
    const auto known = applications_.find(processId);
    const bool named = known != applications_.end() && state(known->second.focusedElement);
    const bool stalls = known != applications_.end() && !named && readStalls(known->second.rememberedField);
    answer<AXElement>(processId, deadline, context, std::move(reply), [this, processId]() -> AXResult<AXElement> {
        auto app = applications_.find(processId);
        if (app == applications_.end()) return {AXStatus::noApplication, {}};
        const AXElement& element = app->second.focusedElement;
        if (element && state(element)) return {AXStatus::success, duplicateHandle(element)};
        if (app->second.rememberedField) return rememberedField(processId);
        return {AXStatus::noElement, {}};
    }, stalls);
}

void FakeAccessibility::focusedWindow(std::int64_t processId, Milliseconds deadline, QObject* context,
                                      Reply<AXElement> reply) {
    calls_.push_back("focusedWindow " + std::to_string(processId));
    answer<AXElement>(processId, deadline, context, std::move(reply), [this, processId]() -> AXResult<AXElement> {
        auto app = applications_.find(processId);
        if (app == applications_.end()) return {AXStatus::noApplication, {}};
        const AXElement& window = app->second.focusedWindow;
        if (!window || !state(window)) return {AXStatus::noElement, {}};
        return {AXStatus::success, duplicateHandle(window)};
    });
}

void FakeAccessibility::readElement(const AXElement& element, Milliseconds deadline, QObject* context,
                                    Reply<ElementInfo> reply) {
    calls_.push_back("readElement " + (element ? element->identity() : std::string("null")));
    answer<ElementInfo>(element ? element->processId() : 0, deadline, context, std::move(reply),
                        [this, element]() -> AXResult<ElementInfo> {
                            const ElementState* found = state(element);
                            if (!found) return {AXStatus::noElement, {}};
                            if (found->reads == Reads::unanswered) return {AXStatus::timedOut, {}};
                            if (found->reads == Reads::refused) return {AXStatus::failed, {}};
                            return {AXStatus::success, found->info};
                        }, readStalls(element));
}

void FakeAccessibility::setFocus(const AXElement& element, Milliseconds deadline, QObject* context,
                                 Reply<bool> reply) {
    calls_.push_back("setFocus " + (element ? element->identity() : std::string("null")));
    answer<bool>(element ? element->processId() : 0, deadline, context, std::move(reply),
                 [this, element]() -> AXResult<bool> {
                     ElementState* found = state(element);
                     if (!found) return {AXStatus::noElement, false};
                     if (found->refusesFocus) return {AXStatus::success, false};
                     auto& app = applications_[found->processId];
                     if (app.focusedElement && state(app.focusedElement))
                         state(app.focusedElement)->info.focused = false;
                     app.focusedElement = element;
                     found->info.focused = true;
                     return {AXStatus::success, true};
                 });
}

void FakeAccessibility::insertText(const AXElement& element, const std::string& text, Milliseconds deadline,
                                   QObject* context, StatusReply reply) {
    calls_.push_back("insertText " + (element ? element->identity() : std::string("null")) + " " + text);
    answer<bool>(
        element ? element->processId() : 0, deadline, context,
        Reply<bool>([reply = std::move(reply)](AXResult<bool> result) { reply(result.status); }),
        [this, element, text]() -> AXResult<bool> {
            ElementState* found = state(element);
            if (!found) return {AXStatus::noElement, false};
            if (found->insertionRefusal) return {*found->insertionRefusal, false};
            ElementInfo& info = found->info;
            if (!info.editable || !info.value || text.empty()) return {AXStatus::notSupported, false};
            const InsertionPlan plan =
                planInsertion(info.selection, info.caretOffset, text, TextLengthUnit::utf8Bytes);
            lastInsertionLength_ = plan.length;
            std::u32string value = QString::fromStdString(*info.value).toStdU32String();
            if (plan.deleteRange) {
                if (plan.deleteRange->end > int(value.size())) return {AXStatus::failed, false};
                value.erase(std::size_t(plan.deleteRange->start),
                            std::size_t(plan.deleteRange->end - plan.deleteRange->start));
            }
            if (plan.position > int(value.size())) return {AXStatus::failed, false};
            // Like GTK: the length counts bytes of the UTF-8 text.
            const std::string bytes = text.substr(0, std::size_t(plan.length));
            const std::u32string inserted = QString::fromStdString(bytes).toStdU32String();
            value.insert(std::size_t(plan.position), inserted);
            info.value = QString::fromStdU32String(value).toStdString();
            info.characterCount = int(value.size());
            info.caretOffset = plan.position + int(inserted.size());
            info.selection.reset();
            return {AXStatus::success, true};
        });
}

}  // namespace harbelle::testing
