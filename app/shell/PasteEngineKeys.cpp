// The Ctrl+V fallback: the clip goes on the clipboard, the target's focus is restored once
// more, and a paste key pair is sent while the target's window is the active one. The field's
// fingerprint before and after tells a paste from nothing.
#include <QPointer>
#include <algorithm>

#include "shell/PasteDiagnostics.h"
#include "shell/PasteEngine.h"

namespace harbelle {

namespace {
const char* text(bool value) { return value ? "true" : "false"; }
constexpr const char* kCouldNotSend = "Could not send the paste command";
}  // namespace

void PasteEngine::beginCommandVFallback(PasteTarget target, OperationRef operation, bool keysAtOnce) {
    const std::uint64_t generation = operation->generation;
    if (!isRunning(generation)) return;
    const DirectPastePermissions permissions = host_.currentDirectPastePermissions();
    if (!permissions.eventPostingAllowed) {
        host_.updateDirectPastePermissionStatus(permissions.accessibilityTrusted, false);
        host_.setShowPermissionSetup(true);
        failPasteOperation(generation, "Direct-paste access changed; approve it again");
        return;
    }
    diagnostic(std::string("falling back to synthetic ") + PasteDiagnostics::keys(operation->shortcut));
    bool wrote = host_.writeClipToPasteboard(operation->item, operation->plainText);
    // Shift+Insert pastes the primary selection: the clip goes there too.
    if (wrote && operation->shortcut == PasteShortcut::shiftInsert)
        wrote = host_.writeClipToPrimarySelection(operation->item, operation->plainText);
    diagnostic("event fallback kind=" + std::string(clipkind::rawValue(operation->item.kind)) +
               " wroteClipboard=" + text(wrote));
    if (!wrote) {
        failPasteOperation(generation, "That clip is no longer available");
        return;
    }
    after(kCommandVStartDelay, [this, target = std::move(target), operation = std::move(operation), keysAtOnce] {
        restoreFocusForCommandV(target, operation, kCommandVRestoreAttempts, keysAtOnce);
    });
}

void PasteEngine::restoreFocusForCommandV(PasteTarget target, OperationRef operation, int remainingAttempts,
                                          bool keysAtOnce) {
    const std::uint64_t generation = operation->generation;
    if (!isRunning(generation)) return;
    if (isTerminated(target)) {
        failPasteOperation(generation, "The intended app closed; nothing was pasted");
        return;
    }
    if (!isFrontmost(target)) {
        if (remainingAttempts > 0) {
            after(kRestoreInterval, [this, target = std::move(target), operation = std::move(operation),
                                     remainingAttempts, keysAtOnce] {
                restoreFocusForCommandV(target, operation, remainingAttempts - 1, keysAtOnce);
            });
            return;
        }
        failPasteOperation(generation, "The intended input lost focus; nothing was pasted");
        return;
    }
    if (keysAtOnce) {
        postCommandV(std::move(target), std::move(operation), kModifierPolls);
        return;
    }
    reacquireFocusedTarget(std::move(target), false, [this, operation, remainingAttempts](PasteTarget fresh) {
        if (!isRunning(operation->generation)) return;
        restorePreviousFocus(fresh, [this, fresh, operation, remainingAttempts](bool confirmed) {
            if (!isRunning(operation->generation)) return;
            const auto retryOrPostAnyway = [this, fresh, operation, remainingAttempts] {
                if (remainingAttempts > 0 && !spent(operation, kPasteKeysBudget)) {
                    reacquireFocusedTarget(fresh, true, [this, operation, remainingAttempts](PasteTarget retry) {
                        if (!isRunning(operation->generation)) return;
                        after(kRestoreInterval, [this, retry = std::move(retry), operation, remainingAttempts] {
                            restoreFocusForCommandV(retry, operation, remainingAttempts - 1, false);
                        });
                    });
                    return;
                }
                diagnostic(std::string("focus never resolved to a text element; attempting ") + PasteDiagnostics::keys(operation->shortcut) + " anyway");
                postCommandV(fresh, operation, kModifierPolls);
            };
            if (!confirmed) {
                retryOrPostAnyway();
                return;
            }
            acceptsTypedText(fresh, [this, fresh, operation, retryOrPostAnyway](bool accepts) {
                if (!isRunning(operation->generation)) return;
                if (accepts)
                    postCommandV(fresh, operation, kModifierPolls);
                else
                    retryOrPostAnyway();
            });
        });
    });
}

bool PasteEngine::deferWhileModifiersHeld(KeyModifiers held, const PasteTarget& target,
                                          const OperationRef& operation, int remainingModifierPolls) {
    if (held == 0) return false;
    if (remainingModifierPolls > 0) {
        after(kModifierPollInterval, [this, target, operation, remainingModifierPolls] {
            postCommandV(target, operation, remainingModifierPolls - 1);
        });
        return true;
    }
    diagnostic(std::string("modifiers still held; not sending ") + PasteDiagnostics::keys(operation->shortcut));
    failPasteOperation(operation->generation, kCouldNotSend);
    return true;
}

void PasteEngine::postCommandV(PasteTarget target, OperationRef operation, int remainingModifierPolls) {
    const std::uint64_t generation = operation->generation;
    if (!isRunning(generation)) return;
    if (!isFrontmost(target) || !keyPoster_.canPostEvents()) {
        failPasteOperation(generation, kCouldNotSend);
        return;
    }
    // Shift from Shift-Return or Super from the hot key turn Ctrl+V into another shortcut:
    // wait until the user has let go of them. The field is read only afterwards, so that what
    // the user typed meanwhile is not taken for the paste.
    const KeyModifiers held = keyPoster_.heldModifiers();
    if (held != 0 && remainingModifierPolls == kModifierPolls)
        diagnostic("waiting for held modifiers=" + std::to_string(int(held)) + " before " + PasteDiagnostics::keys(operation->shortcut));
    if (deferWhileModifiersHeld(held, target, operation, remainingModifierPolls)) return;
    readField(target, [this, target, operation, remainingModifierPolls](std::optional<ElementInfo> field) {
        if (!isRunning(operation->generation)) return;
        if (field && insertLandedLate(*field, *operation)) {
            diagnostic("the accessible insert landed late; no paste key sent");
            completePasteOperation(operation->item, operation->generation, true);
            return;
        }
        sendCommandV(target, operation, field ? harbelle::textFingerprint(*field) : std::nullopt,
                     remainingModifierPolls);
    });
}

void PasteEngine::sendCommandV(PasteTarget target, OperationRef operation, std::optional<std::string> before,
                               int remainingModifierPolls) {
    const std::uint64_t generation = operation->generation;
    if (!isRunning(generation)) return;
    // Time passed while the field was read: the target must still be in front.
    if (!isFrontmost(target)) {
        failPasteOperation(generation, kCouldNotSend);
        return;
    }
    // A modifier pressed while the field was read: wait again and read the field afresh.
    if (deferWhileModifiersHeld(keyPoster_.heldModifiers(), target, operation, remainingModifierPolls)) return;

    const ProcessID pid = target.processIdentifier();
    diagnostic("posting " + std::string(PasteDiagnostics::keys(operation->shortcut)) + " events pid=" + std::to_string(pid) + " verifiable=" + text(before.has_value()));
    // The paste is confirmed a few hundred milliseconds later; a clip copied meanwhile is newer.
    const Date sentAt = clock_.now();
    if (!keyPoster_.postPasteKeyDown(pid, operation->shortcut)) {
        // Whatever part of the key-down got out must not stay pressed.
        keyPoster_.releaseAllPressed();
        failPasteOperation(generation, kCouldNotSend);
        return;
    }
    keysAwaitingVerdict_ = generation;
    // Not tied to the transaction: the key-up goes out even after a cancellation.
    after(kKeyUpDelay, [this, target = std::move(target), operation = std::move(operation), before = std::move(before),
                        sentAt] { finishKeyUp(target, operation, before, sentAt); });
}

void PasteEngine::finishKeyUp(PasteTarget target, OperationRef operation, std::optional<std::string> before,
                              Date sentAt) {
    const ProcessID pid = target.processIdentifier();
    if (!keyPoster_.postPasteKeyUp(pid)) keyPoster_.releaseAllPressed();
    diagnostic("posted " + std::string(PasteDiagnostics::keys(operation->shortcut)) + " key-up pid=" + std::to_string(pid));
    const std::uint64_t generation = operation->generation;
    if (!isRunning(generation)) return;
    if (!before) {
        completeOnceTheTargetAnswers(target, std::move(operation), sentAt);
        return;
    }
    after(kVerificationDelay, [this, target = std::move(target), operation = std::move(operation),
                               before = std::move(before), sentAt] {
        verifyCommandV(target, operation, before, sentAt, kVerificationChecks);
    });
}

void PasteEngine::verifyCommandV(PasteTarget target, OperationRef operation, std::optional<std::string> before,
                                 Date sentAt, int remainingChecks) {
    if (!isRunning(operation->generation)) return;
    textFingerprint(target, [this, target, operation, before, sentAt, remainingChecks](std::optional<std::string> afterPaste) {
        const std::uint64_t generation = operation->generation;
        if (!isRunning(generation)) return;
        if (!afterPaste) {
            completeOnceTheTargetAnswers(target, operation, sentAt);
            return;
        }
        if (*afterPaste == *before && remainingChecks > 1) {
            after(kVerificationInterval, [this, target, operation, before, sentAt, remainingChecks] {
                verifyCommandV(target, operation, before, sentAt, remainingChecks - 1);
            });
            return;
        }
        if (*afterPaste == *before) {
            diagnostic(std::string(PasteDiagnostics::keys(operation->shortcut)) + " did not change the field; reporting failure");
            failPasteOperationRecoverably(generation);
            return;
        }
        completePasteOperation(operation->item, generation, true, sentAt);
    });
}

void PasteEngine::completeOnceTheTargetAnswers(const PasteTarget& target, OperationRef operation, Date sentAt) {
    const std::uint64_t generation = operation->generation;
    if (!target.nativeWindow) {
        // Nothing to compare and no window to ask: done, but not proof that direct paste works.
        completePasteOperation(operation->item, generation, false, sentAt);
        return;
    }
    // A stopped or hung program takes no keys, and its field reads as nothing; a slow one
    // answers once its event loop turns. The answer must come before the deadline, whose own
    // ending would put the clip on the clipboard again.
    const auto left = kTransactionDeadline - kKeyUpDelay -
                      std::chrono::duration_cast<Milliseconds>(clock_.now() - operation->startedAt);
    QPointer<QObject> alive(replyContext_.get());
    workspace_.pingWindow(*target.nativeWindow, std::max(left, Milliseconds(0)),
                          [this, alive, operation = std::move(operation), sentAt](bool answered) {
                              if (!alive || !isRunning(operation->generation)) return;
                              if (answered) {
                                  completePasteOperation(operation->item, operation->generation, false, sentAt);
                                  return;
                              }
                              diagnostic("the target's window does not answer; reporting failure");
                              failPasteOperationRecoverably(operation->generation);
                          });
}

}  // namespace harbelle
