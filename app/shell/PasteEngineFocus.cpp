// Waiting for the target to come to the front, giving its text element focus again and
// inserting the clip's text there.
#include <array>
#include <string_view>

#include "shell/PasteDiagnostics.h"
#include "shell/PasteEngine.h"

namespace harbelle {

namespace {
const char* text(bool value) { return value ? "true" : "false"; }
std::string number(AXStatus status) { return std::to_string(static_cast<int>(status)); }

// Roles of containers and controls that never take typed text, as AT-SPI names them.
constexpr std::array<std::string_view, 11> kRolesWithoutTypedText{
    "window", "frame", "dialog", "scroll pane", "panel", "filler", "split pane",
    "tool bar", "image", "push button", "menu bar"};
}  // namespace

void PasteEngine::waitForTargetActivation(PasteTarget target, OperationRef operation, int remainingAttempts) {
    const int remaining = remainingAttempts - 1;
    const std::uint64_t generation = operation->generation;
    if (!isRunning(generation)) return;
    const std::string pid = std::to_string(target.processIdentifier());
    if (isTerminated(target)) {
        failPasteOperation(generation, "The intended app closed; nothing was pasted");
        return;
    }
    if (isFrontmost(target)) {
        diagnostic("target is frontmost pid=" + pid);
        restoreFocusAndPaste(std::move(target), std::move(operation), kRestoreAttempts);
        return;
    }
    if (remaining > 0) {
        after(kActivationCheckInterval, [this, target = std::move(target), operation = std::move(operation), remaining] {
            waitForTargetActivation(target, operation, remaining);
        });
        return;
    }
    diagnostic("target activation timed out pid=" + pid);
    failPasteOperation(generation, "Could not return focus to the intended input");
}

void PasteEngine::restoreFocusAndPaste(PasteTarget target, OperationRef operation, int remainingAttempts) {
    const std::uint64_t generation = operation->generation;
    if (!isRunning(generation)) return;
    if (isTerminated(target)) {
        failPasteOperation(generation, "The intended app closed; nothing was pasted");
        return;
    }
    if (!isFrontmost(target)) {
        failPasteOperation(generation, "The intended input lost focus; nothing was pasted");
        return;
    }
    if (!target.focusedElement) {
        // GTK 4 names no focused element, Tk and xterm are not on the bus at all: no attempt
        // would ever restore anything, so the keys go out as soon as the window is in front.
        lookUpFocusedElement(target, [this, target, operation, remainingAttempts](AXResult<AXElement> found) {
            if (!isRunning(operation->generation)) return;
            if (!found.value && (found.status == AXStatus::noApplication || found.status == AXStatus::noElement)) {
                diagnostic("target offers no focused element; sending the paste keys at once");
                beginCommandVFallback(target, operation, true);
                return;
            }
            restoreFocusAndPasteWithElement(target, operation, remainingAttempts);
        });
        return;
    }
    restoreFocusAndPasteWithElement(std::move(target), std::move(operation), remainingAttempts);
}

void PasteEngine::restoreFocusAndPasteWithElement(PasteTarget target, OperationRef operation, int remainingAttempts) {
    reacquireFocusedTarget(target, false, [this, target, operation, remainingAttempts](PasteTarget fresh) {
        if (!isRunning(operation->generation)) return;
        restorePreviousFocus(fresh, [this, target, fresh, operation, remainingAttempts](bool confirmed) {
            if (!isRunning(operation->generation)) return;
            if (confirmed) {
                if (operation->directText)
                    insertDirectText(fresh, operation);
                else
                    beginCommandVFallback(fresh, operation);
                return;
            }
            if (remainingAttempts > 0 && !spent(operation, kFocusRestoreBudget)) {
                reacquireFocusedTarget(fresh, true, [this, operation, remainingAttempts](PasteTarget retry) {
                    if (!isRunning(operation->generation)) return;
                    after(kRestoreInterval, [this, retry = std::move(retry), operation, remainingAttempts] {
                        restoreFocusAndPaste(retry, operation, remainingAttempts - 1);
                    });
                });
                return;
            }
            diagnostic("focus restoration timed out pid=" + std::to_string(target.processIdentifier()) +
                       "; falling back to " + std::string(PasteDiagnostics::keys(operation->shortcut)));
            beginCommandVFallback(target, operation);
        });
    });
}

void PasteEngine::insertDirectText(PasteTarget target, OperationRef operation) {
    // What the field holds first, to tell an insert that lands late from one that never does.
    readField(target, [this, target, operation](std::optional<ElementInfo> field) {
        if (!isRunning(operation->generation)) return;
        insertDirectTextInto(target, operation, field ? field->value : std::nullopt);
    });
}

void PasteEngine::insertDirectTextInto(PasteTarget target, OperationRef operation, std::optional<std::string> before) {
    insertText(*operation->directText, target, [this, target, operation, before](AXStatus status) {
        const std::uint64_t generation = operation->generation;
        if (status == AXStatus::success) {
            // The text is in the field even if the transaction was abandoned meanwhile.
            diagnostic("direct AX insertion succeeded");
            completePasteOperation(operation->item, generation, true);
            return;
        }
        if (!isRunning(generation)) return;
        if (status == AXStatus::timedOut) {
            // The insertion may still land later: a Ctrl+V now could paste the text twice. Leave
            // the clip on the clipboard for the user instead.
            diagnostic(std::string("AX insertion timed out; not sending ") + PasteDiagnostics::keys(operation->shortcut));
            host_.writeClipToPasteboard(operation->item, operation->plainText);
            failPasteOperationRecoverably(generation);
            return;
        }
        if (before) unlandedInsert_ = UnlandedInsert{generation, *before};
        beginCommandVFallback(target, operation);
    });
}

void PasteEngine::lookUpFocusedElement(const PasteTarget& target, Then<AXResult<AXElement>> then) {
    if (!accessibility_.isTrusted()) {
        diagnostic("focused-element lookup denied: AX not trusted");
        then({AXStatus::notTrusted, nullptr});
        return;
    }
    const ProcessID pid = target.processIdentifier();
    accessibility_.focusedElement(pid, kAccessibilityDeadline, replyContext_.get(),
                                  [this, pid, then = std::move(then)](AXResult<AXElement> found) {
                                      const bool hasValue = found.ok() && found.value;
                                      diagnostic("focused-element lookup pid=" + std::to_string(pid) +
                                                 " status=" + number(found.status) + " hasValue=" + text(hasValue));
                                      if (!hasValue) found.value = nullptr;
                                      if (found.ok() && !hasValue) found.status = AXStatus::noElement;
                                      then(std::move(found));
                                  });
}

void PasteEngine::reacquireFocusedTarget(PasteTarget target, bool afterFailedRestore, Then<PasteTarget> then) {
    // A target captured with an element is trusted until a restore of it fails.
    if (target.focusedElement && !afterFailedRestore) {
        then(std::move(target));
        return;
    }
    if (isTerminated(target) || !isFrontmost(target)) {
        then(std::move(target));
        return;
    }
    const ProcessID pid = target.processIdentifier();
    lookUpFocusedElement(target, [this, target, pid, afterFailedRestore, then](AXResult<AXElement> found) mutable {
        const AXElement element = found.value;
        if (!element || element->processId() != pid) {
            then(std::move(target));
            return;
        }
        auto readWindow = [this, target, pid, afterFailedRestore, element,
                                 then](AXResult<AXElement> windowRead) mutable {
            const AXElement window = windowRead.ok() ? windowRead.value : nullptr;
            if (target.capturedWindow) {
                if (!window || window->processId() != pid || !sameElement(window, target.capturedWindow)) {
                    diagnostic("fresh AX target rejected: focused window changed pid=" + std::to_string(pid));
                    then(std::move(target));
                    return;
                }
            } else if (window && window->processId() != pid) {
                diagnostic("fresh AX target rejected: window PID changed expected=" + std::to_string(pid));
                then(std::move(target));
                return;
            }
            diagnostic("reacquired focused target pid=" + std::to_string(pid) +
                       " afterFailedRestore=" + text(afterFailedRestore));
            target.focusedElement = element;
            if (window) target.focusedWindow = window;
            then(std::move(target));
        };
        if (!accessibility_.isTrusted()) {
            readWindow({AXStatus::notTrusted, nullptr});
            return;
        }
        accessibility_.focusedWindow(pid, kAccessibilityDeadline, replyContext_.get(), std::move(readWindow));
    });
}

void PasteEngine::restorePreviousFocus(PasteTarget target, Then<bool> then) {
    bool injectedFailure = false;
    if (host_.qaRemainingTransientFocusFailures() > 0) {
        host_.consumeQaTransientFocusFailure();
        injectedFailure = true;
        diagnostic("QA injected transient focus failure remaining=" +
                   std::to_string(host_.qaRemainingTransientFocusFailures()));
    }
    const bool trusted = accessibility_.isTrusted();
    diagnostic(std::string("AX focus restore requested trusted=") + text(trusted) +
               " hasElement=" + text(target.focusedElement != nullptr));
    if (!trusted || isTerminated(target) || !target.focusedElement) {
        then(false);
        return;
    }
    const ProcessID expected = target.processIdentifier();
    const std::int64_t elementPid = target.focusedElement->processId();
    if (elementPid != expected) {
        const AXStatus pidStatus = elementPid == 0 ? AXStatus::failed : AXStatus::success;
        diagnostic("AX focus restore rejected status=" + number(pidStatus) + " pid=" + std::to_string(elementPid) +
                   " expected=" + std::to_string(expected));
        then(false);
        return;
    }
    // The window itself was raised by the activation; only the element's focus is set here.
    const AXElement element = target.focusedElement;
    accessibility_.setFocus(
        element, kFocusRestoreDeadline, replyContext_.get(),
        [this, target, element, injectedFailure, then = std::move(then)](AXResult<bool> set) {
            // Only a read-back confirms the focus, whatever the write reported.
            lookUpFocusedElement(target, [this, element, injectedFailure, status = set.status,
                                          then](AXResult<AXElement> now) {
                const bool confirmed = sameElement(now.value, element);
                diagnostic("AX focus restore status=" + number(status) + " confirmed=" + text(confirmed));
                then(confirmed && !injectedFailure);
            });
        });
}

void PasteEngine::insertText(const std::string& insertion, const PasteTarget& target, Then<AXStatus> then) {
    const bool trusted = accessibility_.isTrusted();
    diagnostic(std::string("AX insert requested trusted=") + text(trusted) +
               " hasElement=" + text(target.focusedElement != nullptr));
    if (insertion.empty() || !trusted || !target.focusedElement) {
        then(AXStatus::notSupported);
        return;
    }
    const std::int64_t elementPid = target.focusedElement->processId();
    const AXStatus pidStatus = elementPid == 0 ? AXStatus::failed : AXStatus::success;
    diagnostic("AX element pid status=" + number(pidStatus) + " pid=" + std::to_string(elementPid) +
               " expected=" + std::to_string(target.processIdentifier()));
    if (elementPid != target.processIdentifier()) {
        then(AXStatus::failed);
        return;
    }
    // Replaces the selection, or inserts at the caret; the rest of the field stays as it is. One
    // call both checks that the field is editable and edits it; a field that is not editable
    // answers `notSupported`. There is no second route through the whole value: a field that
    // refuses gets Ctrl+V instead.
    accessibility_.insertText(target.focusedElement, insertion, kAccessibilityDeadline, replyContext_.get(),
                              [this, then = std::move(then)](AXStatus status) {
                                  const bool editable = status != AXStatus::notSupported;
                                  diagnostic(std::string("AX selected-text settable status=0 value=") +
                                             text(editable));
                                  if (editable) diagnostic("AX selected-text insert status=" + number(status));
                                  if (status != AXStatus::success && status != AXStatus::timedOut)
                                      diagnostic("AX value/range fallback result=false");
                                  then(status);
                              });
}

void PasteEngine::acceptsTypedText(const PasteTarget& target, Then<bool> then) {
    if (!target.focusedElement || !accessibility_.isTrusted()) {
        then(false);
        return;
    }
    accessibility_.readElement(target.focusedElement, kAccessibilityDeadline, replyContext_.get(),
                               [this, then = std::move(then)](AXResult<ElementInfo> read) {
                                   if (!read.ok() || read.value.role.empty()) {
                                       then(true);
                                       return;
                                   }
                                   const std::string& role = read.value.role;
                                   for (std::string_view refused : kRolesWithoutTypedText) {
                                       if (role == refused) {
                                           diagnostic("focused element role " + role + " cannot accept typed text");
                                           then(false);
                                           return;
                                       }
                                   }
                                   then(true);
                               });
}

void PasteEngine::readField(const PasteTarget& target, Then<std::optional<ElementInfo>> then) {
    if (!target.focusedElement || !accessibility_.isTrusted() ||
        target.focusedElement->processId() != target.processIdentifier()) {
        then(std::nullopt);
        return;
    }
    accessibility_.readElement(target.focusedElement, kAccessibilityDeadline, replyContext_.get(),
                               [then = std::move(then)](AXResult<ElementInfo> read) {
                                   if (read.ok())
                                       then(std::move(read.value));
                                   else
                                       then(std::nullopt);
                               });
}

bool PasteEngine::insertLandedLate(const ElementInfo& field, const Operation& operation) const {
    if (!unlandedInsert_ || unlandedInsert_->generation != operation.generation || !field.value ||
        !operation.directText)
        return false;
    // Counted, not compared: a selection the insert deleted before doing nothing else changed
    // the text too, and the paste key still has to put the clip there.
    const auto occurrences = [&clip = *operation.directText](const std::string& text) {
        std::size_t count = 0;
        for (auto at = text.find(clip); at != std::string::npos; at = text.find(clip, at + clip.size())) ++count;
        return count;
    };
    return occurrences(*field.value) > occurrences(unlandedInsert_->text);
}

void PasteEngine::textFingerprint(const PasteTarget& target, Then<std::optional<std::string>> then) {
    readField(target, [then = std::move(then)](std::optional<ElementInfo> field) {
        then(field ? harbelle::textFingerprint(*field) : std::nullopt);
    });
}

}  // namespace harbelle
