#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/ClipItem.h"
#include "platform/Accessibility.h"
#include "platform/Clock.h"
#include "platform/KeyEventPoster.h"
#include "platform/Workspace.h"
#include "shell/PasteEngineHost.h"

namespace harbelle {

// Puts a chosen clip into the application the user came from. One transaction at a time, named
// by a generation: a newer paste or a cancellation makes every pending step of the older one do
// nothing. Steps are chained on the clock and through asynchronous accessibility replies;
// nothing blocks. The text of text-like clips is inserted over the field's selection; other
// clips, or fields that refuse the text, get the clip on the clipboard and a Ctrl+V.
//
// The workspace, accessibility, key poster and clock must outlive the engine.
class PasteEngine {
public:
    static constexpr Milliseconds kActivationCheckInterval{50};
    static constexpr int kActivationChecks = 60;
    static constexpr Milliseconds kRestoreInterval{50};
    static constexpr int kRestoreAttempts = 20;
    static constexpr Milliseconds kCommandVStartDelay{80};
    static constexpr int kCommandVRestoreAttempts = 30;
    static constexpr Milliseconds kKeyUpDelay{30};
    static constexpr Milliseconds kVerificationDelay{180};
    // A busy program (a browser) can take its paste late: the field is read again this often,
    // this many times in all, the last about 1.5 s after the key-up.
    static constexpr Milliseconds kVerificationInterval{50};
    static constexpr int kVerificationChecks = 27;
    static constexpr Milliseconds kCopyOnlyHideDelay{450};
    // Held modifiers are polled this often, this many times, before the keys are given up.
    static constexpr Milliseconds kModifierPollInterval{50};
    static constexpr int kModifierPolls = 40;
    // How long one accessibility query may take before it counts as unanswered.
    static constexpr Milliseconds kAccessibilityDeadline{500};
    // Giving an element the focus first waits for its window to take the focus back by itself.
    static constexpr Milliseconds kFocusRestoreDeadline{1000};
    // The longest a direct paste may take, from the request to the text in the field.
    static constexpr Milliseconds kTransactionDeadline{6000};
    // The focus steps count attempts, but an application that answers slowly or not at all makes
    // each attempt last its queries' deadlines: by these times after the request, restoration
    // hands over to the paste keys, and those go out to the target's window, confirmed or not,
    // so that the window the user was in still gets its paste before the transaction ends.
    static constexpr Milliseconds kFocusRestoreBudget{2000};
    static constexpr Milliseconds kPasteKeysBudget{4000};

    PasteEngine(PasteEngineHost& host, Workspace& workspace, Accessibility& accessibility,
                KeyEventPoster& keyPoster, Clock& clock);
    // Releases any key still down.
    ~PasteEngine();
    PasteEngine(const PasteEngine&) = delete;
    PasteEngine& operator=(const PasteEngine&) = delete;

    // The store's paste request: copy only, or paste directly into the remembered target.
    void paste(const ClipItem& item, bool plainText);
    // Abandons the running transaction silently; a pending key-up is still sent.
    void cancelActivePasteOperation();
    // At quit: cancels, drops every pending step and releases any key still down at once.
    void shutdown();

    // The text inserted directly for a clip: text-like kinds with a non-empty text.
    static std::optional<std::string> directInsertionText(const ClipItem& item);
    // The key that pastes into a window of this class (WM_CLASS): Ctrl+Shift+V for terminals,
    // Shift+Insert (the primary selection) for the xterm family, Ctrl+V elsewhere; nothing for
    // a window that pastes by no key.
    static std::optional<PasteShortcut> pasteShortcutFor(const std::optional<std::string>& windowClass);
    // Shown when the clip could only be copied because the target has no paste key.
    static constexpr const char* kCopiedForWindowWithoutPasteKey =
        "Copied to the clipboard; this window has no paste key, so paste it there yourself";

    std::uint64_t pasteOperationGeneration() const { return pasteOperationGeneration_; }
    std::optional<std::uint64_t> activePasteOperationGeneration() const { return activePasteOperationGeneration_; }

private:
    // What every step of one transaction carries.
    struct Operation {
        ClipItem item;
        bool plainText = false;
        std::optional<std::string> directText;
        PasteShortcut shortcut = PasteShortcut::controlV;
        std::uint64_t generation = 0;
        Date startedAt;
    };
    using OperationRef = std::shared_ptr<const Operation>;
    template <class T>
    using Then = std::function<void(T)>;

    // Transaction (PasteEngine.cpp)
    void copyOnly(const ClipItem& item, bool plainText);
    // For a target that takes the clipboard by no key: the clip is copied and the user told.
    void copyForWindowWithoutPasteKey(const ClipItem& item, bool plainText, const PasteTarget& target);
    void finishCopyOnly(std::uint64_t generation);
    std::uint64_t openTransaction();
    void endTransaction();
    // The running transaction ends by a cancellation or a newer paste: where its paste keys went
    // out and no verdict on them came, it says so.
    void abandonRunningTransaction();
    bool isRunning(std::uint64_t generation) const;
    // `pastedAt`: when the paste went out, for a paste confirmed only afterwards.
    void completePasteOperation(const ClipItem& item, std::uint64_t generation, bool verified,
                                std::optional<Date> pastedAt = std::nullopt);
    void failPasteOperation(std::uint64_t generation, const std::string& message);
    void failPasteOperationRecoverably(std::uint64_t generation);
    // The overall deadline passed: the clip is left on the clipboard for the user.
    void expireTransaction(const std::shared_ptr<const Operation>& operation);
    void diagnostic(const std::string& message);
    void after(Milliseconds delay, std::function<void()> step);
    bool isTerminated(const PasteTarget& target);
    bool isFrontmost(const PasteTarget& target);
    // Whether this much time has passed since the operation was requested.
    bool spent(const OperationRef& operation, Milliseconds budget) const;

    // Activation, focus and insertion (PasteEngineFocus.cpp)
    void waitForTargetActivation(PasteTarget target, OperationRef operation, int remainingAttempts);
    void restoreFocusAndPaste(PasteTarget target, OperationRef operation, int remainingAttempts);
    void restoreFocusAndPasteWithElement(PasteTarget target, OperationRef operation, int remainingAttempts);
    void insertDirectText(PasteTarget target, OperationRef operation);
    // `before`: the field's text before the insert, when it could be read.
    void insertDirectTextInto(PasteTarget target, OperationRef operation, std::optional<std::string> before);
    // The element itself, or null with the reason as the status.
    void lookUpFocusedElement(const PasteTarget& target, Then<AXResult<AXElement>> then);
    void reacquireFocusedTarget(PasteTarget target, bool afterFailedRestore, Then<PasteTarget> then);
    void restorePreviousFocus(PasteTarget target, Then<bool> then);
    void insertText(const std::string& text, const PasteTarget& target, Then<AXStatus> then);
    void acceptsTypedText(const PasteTarget& target, Then<bool> then);
    void textFingerprint(const PasteTarget& target, Then<std::optional<std::string>> then);
    // The target element as read now, or nothing when it cannot be read.
    void readField(const PasteTarget& target, Then<std::optional<ElementInfo>> then);
    // Whether the field holds the clip once more than before an insert of this transaction that
    // did not take: the insert landed after all.
    bool insertLandedLate(const ElementInfo& field, const Operation& operation) const;

    // Ctrl+V fallback (PasteEngineKeys.cpp)
    // `keysAtOnce`: the target offers no focused element to restore, so the keys go out as
    // soon as its window is the active one.
    void beginCommandVFallback(PasteTarget target, OperationRef operation, bool keysAtOnce = false);
    void restoreFocusForCommandV(PasteTarget target, OperationRef operation, int remainingAttempts,
                                 bool keysAtOnce);
    void postCommandV(PasteTarget target, OperationRef operation, int remainingModifierPolls);
    // While the user holds a modifier: poll again later, or fail once the polls ran out.
    // False when nothing is held and the keys may go out now.
    bool deferWhileModifiersHeld(KeyModifiers held, const PasteTarget& target, const OperationRef& operation,
                                 int remainingModifierPolls);
    void sendCommandV(PasteTarget target, OperationRef operation, std::optional<std::string> before,
                      int remainingModifierPolls);
    void finishKeyUp(PasteTarget target, OperationRef operation, std::optional<std::string> before, Date sentAt);
    void verifyCommandV(PasteTarget target, OperationRef operation, std::optional<std::string> before, Date sentAt,
                        int remainingChecks);
    // The keys went out but the field cannot be read: done once the target's window shows that
    // its program runs, a failure when it has not by the deadline.
    void completeOnceTheTargetAnswers(const PasteTarget& target, OperationRef operation, Date sentAt);

    PasteEngineHost& host_;
    Workspace& workspace_;
    Accessibility& accessibility_;
    KeyEventPoster& keyPoster_;
    Clock& clock_;
    // Accessibility replies are dropped once this is gone.
    std::unique_ptr<QObject> replyContext_;
    std::vector<ScheduledTask> pending_;
    std::uint64_t pasteOperationGeneration_ = 0;
    std::optional<std::uint64_t> activePasteOperationGeneration_;
    // The field's text before an accessible insert that did not take, read again before the
    // paste key goes out: an insert landing late and the key would put the clip in twice.
    struct UnlandedInsert {
        std::uint64_t generation = 0;
        std::string text;
    };
    std::optional<UnlandedInsert> unlandedInsert_;
    // The generation whose paste keys went out and whose landing is not known yet.
    std::optional<std::uint64_t> keysAwaitingVerdict_;
};

}  // namespace harbelle
