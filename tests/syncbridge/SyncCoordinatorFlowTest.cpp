#include <gtest/gtest.h>

#include "sync/SyncAccountStore.h"
#include "syncbridge/DefaultsBookkeepingPersisting.h"
#include "syncbridge/SyncBridgeTestSupport.h"

using namespace harbelle;
using namespace harbelle::testing;
using namespace std::chrono_literals;

namespace {

std::string lower(const Uuid& id) { return id.lowercaseString(); }

class SyncCoordinatorFlow : public SyncBridgeFixture {};

}  // namespace

TEST_F(SyncCoordinatorFlow, ActivationRunsTheCatchUpInOrderAndMigratesTheLegacyKeysOnce) {
    const Uuid a = addText("alpha");
    const Uuid b = addText("beta");
    defaults.set(SyncCoordinator::kLegacyReportedKey, nlohmann::json::array({lower(a)}));
    makeCoordinator();
    engine->storedAccount = kEmail;
    engine->backfillNeeded = true;
    sync->setActive(true);
    EXPECT_TRUE(engine->callsStartingWith("bootstrap").empty()) << "setActive returns before any engine call";
    ASSERT_TRUE(pumpUntil([&] { return !sync->hasLifecycleTask(); }));

    // Newest first; the migrated "alpha" counts as reported, so only "beta" goes.
    EXPECT_EQ(engine->calls,
              (std::vector<std::string>{"setCallbacks", "bootstrap", "syncNow", "needsOriginBackfill",
                                        "noteLocalClip " + lower(b), "syncNow", "hasPendingChanges",
                                        "markOriginBackfillCompleted", "start"}));
    EXPECT_FALSE(defaults.object(SyncCoordinator::kLegacyReportedKey));
    ASSERT_EQ(engine->notedClips.size(), 1u);
    EXPECT_TRUE(engine->notedClips[0].replaceExisting) << "the back-fill re-sends with replace";
    EXPECT_EQ(engine->notedClips[0].origin->platform, "macOS");
}

TEST_F(SyncCoordinatorFlow, APendingBackfillStaysOpenAndASupersededActivationStopsAtItsNextCheck) {
    makeCoordinator();
    engine->storedAccount = kEmail;
    engine->backfillNeeded = true;
    engine->pendingChanges = true;
    sync->setActive(true);
    sync->setActive(true);
    ASSERT_TRUE(pumpUntil([&] { return !sync->hasLifecycleTask(); }));
    EXPECT_EQ(engine->callsStartingWith("bootstrap").size(), 1u) << "the first run never reached the engine";
    EXPECT_EQ(engine->callsStartingWith("start").size(), 1u);
    EXPECT_TRUE(engine->callsStartingWith("markOriginBackfillCompleted").empty());

    sync->setActive(false);
    EXPECT_FALSE(sync->wantsActive());
    ASSERT_TRUE(pumpUntil([&] { return !sync->hasLifecycleTask(); }));
    EXPECT_EQ(engine->calls.back(), "stop");
}

TEST_F(SyncCoordinatorFlow, DemoModeAndAMissingAddressLeaveTheEngineAlone) {
    makeCoordinator(true);
    const auto generation = sync->lifecycleGeneration();
    sync->setActive(true);
    EXPECT_EQ(sync->lifecycleGeneration(), generation);
    EXPECT_FALSE(sync->hasLifecycleTask());
    EXPECT_FALSE(store->onSyncableTextCaptured) << "no hooks in demo mode";
    EXPECT_EQ(answerOf([&](auto done) { sync->signIn(kEmail, "x", done); }), "Sync is not configured in this build.");
    EXPECT_EQ(answerOf([&](auto done) { sync->createAccount(kEmail, "a", "b", done); }),
              "Sync is not configured in this build.");
    EXPECT_EQ(answerOf([&](auto done) { sync->syncNow(done); }), "Sync is not configured in this build.");
    sync->setActive(false);
    EXPECT_EQ(sync->lifecycleGeneration(), generation + 1);
}

TEST_F(SyncCoordinatorFlow, AccountOperationsAnswerWithTheirSentences) {
    makeCoordinator();
    EXPECT_EQ(answerOf([&](auto done) { sync->createAccount(kEmail, "one password", "another one", done); }),
              "Passwords do not match.");
    EXPECT_EQ(answerOf([&](auto done) { sync->changePassword("one password", "another one", done); }),
              "Passwords do not match.");
    EXPECT_TRUE(engine->callsStartingWith("register").empty());
    EXPECT_EQ(answerOf([&](auto done) { sync->syncNow(done); }), "Sign in to sync your clips.");

    engine->accountError = std::make_exception_ptr(sync::SyncEngineError(
        sync::SyncServiceError(sync::SyncServiceErrorCode::invalidCredentials)));
    EXPECT_EQ(answerOf([&](auto done) { sync->signIn(kEmail, "wrong", done); }), "Email or password is incorrect.");
    EXPECT_FALSE(sync->status().isSignedIn);
    engine->accountError = nullptr;
    engine->revokedSessions = 2;
    signInScripted();
    EXPECT_EQ(engine->callsStartingWith("signIn").back(), std::string("signIn ") + kEmail + " Test Box");
    EXPECT_EQ(answerOf([&](auto done) { sync->changePassword("new password!", "new password!", done); }),
              std::nullopt);
    EXPECT_EQ(sync->lastChangePasswordRevokedSessions(), 2);
    engine->accountError = std::make_exception_ptr(sync::SyncEngineError(sync::SyncEngineErrorCode::passwordTooShort));
    EXPECT_EQ(answerOf([&](auto done) { sync->changePassword("short", "short", done); }),
              "Use a password with at least 10 characters.");
    EXPECT_EQ(sync->lastChangePasswordRevokedSessions(), 2) << "a failed change keeps the old count";
}

TEST_F(SyncCoordinatorFlow, ErrorSentences) {
    using sync::SyncEngineError;
    using sync::SyncEngineErrorCode;
    using sync::SyncServiceError;
    using sync::SyncServiceErrorCode;
    const std::vector<std::pair<std::exception_ptr, std::string>> table{
        {std::make_exception_ptr(sync::SyncSessionStorageError()),
         "Harbelle could not save your sync account in the system keyring. Unlock the keyring and try again."},
        {std::make_exception_ptr(SyncEngineError(SyncServiceError(SyncServiceErrorCode::emailTaken))),
         "An account already exists for that email. Try signing in."},
        {std::make_exception_ptr(SyncEngineError(SyncServiceError(SyncServiceErrorCode::unauthorized))),
         "Email or password is incorrect."},
        {std::make_exception_ptr(SyncEngineError(SyncServiceError(SyncServiceErrorCode::rateLimited))),
         "Too many attempts. Wait a minute and try again."},
        {std::make_exception_ptr(SyncEngineError(SyncServiceError(SyncServiceErrorCode::serverUnavailable))),
         "The sync service is temporarily unavailable."},
        {std::make_exception_ptr(SyncEngineError(SyncServiceError(SyncServiceErrorCode::payloadTooLarge))),
         "The sync service rejected the request. Try again."},
        {std::make_exception_ptr(SyncEngineError(SyncServiceError(SyncServiceErrorCode::transport))),
         "Could not reach the sync service. Check your connection."},
        {std::make_exception_ptr(SyncEngineError(SyncEngineErrorCode::invalidEmail)), "Enter a valid email address."},
        {std::make_exception_ptr(SyncEngineError(SyncEngineErrorCode::notSignedIn)), "Sign in to sync your clips."},
        {std::make_exception_ptr(SyncEngineError(SyncEngineErrorCode::crypto)),
         "Could not unlock the sync key on this computer."},
        {std::make_exception_ptr(SyncServiceError(SyncServiceErrorCode::invalidCredentials)),
         "Something went wrong. Try again."},
    };
    for (const auto& [error, text] : table) EXPECT_EQ(SyncCoordinator::message(error), text);
}

// Mend: a clip deleted while reconcile waits for the engine is never pushed.
TEST_F(SyncCoordinatorFlow, ReconcileRechecksEachClipAfterAPause) {
    const Uuid a = addText("first");
    const Uuid b = addText("second");
    const Uuid c = addText("third");
    makeCoordinator();
    engine->storedAccount = kEmail;
    engine->holdNotes = true;
    sync->setActive(true);
    ASSERT_TRUE(pumpUntil([&] { return engine->heldCount() == 1; }));
    EXPECT_EQ(engine->notedClips.back().id, lower(c));
    store->deleteItem(*store->item(b));
    pump();
    while (engine->releaseHeld() || pumpUntil([&] { return engine->heldCount() > 0 || !sync->hasLifecycleTask(); }, 2000)) {
        if (!sync->hasLifecycleTask() && engine->heldCount() == 0) break;
    }
    std::vector<std::string> noted;
    for (const auto& clip : engine->notedClips) noted.push_back(clip.id);
    EXPECT_EQ(noted, (std::vector<std::string>{lower(c), lower(a)}));
    ASSERT_FALSE(engine->notedDeletes.empty());
    EXPECT_EQ(engine->notedDeletes.front(), (std::vector<std::string>{lower(b)}));
}

TEST_F(SyncCoordinatorFlow, CapturesGoToTheSignedInAccountOnlyAndReceivedClipsNeverEcho) {
    makeCoordinator();
    const Uuid before = addText("before sign-in");
    EXPECT_TRUE(engine->notedClips.empty()) << "signed out: nothing sent, nothing claimed";
    signInScripted();
    const std::size_t afterSignIn = engine->notedClips.size();
    EXPECT_EQ(afterSignIn, 1u) << "reconcile picked up the clip captured before";
    EXPECT_EQ(engine->notedClips[0].id, lower(before));

    const Uuid captured = addText("captured while signed in");
    ASSERT_EQ(engine->notedClips.size(), afterSignIn + 1);
    EXPECT_EQ(engine->notedClips.back().id, lower(captured));
    EXPECT_FALSE(engine->notedClips.back().replaceExisting);

    // A received clip fires no hook, is not selected and is marked reported.
    const auto selected = store->selectedID();
    const Uuid remote = Uuid::random();
    engine->callbacks.applyMergeAction(sync::SyncMergeInsertNew{lower(remote), "from the phone", clock.now() - 1h,
                                                                sync::SyncClipOrigin{"phone_1", "Phone", "iOS"}, {}});
    EXPECT_EQ(engine->notedClips.size(), afterSignIn + 1);
    EXPECT_EQ(store->selectedID(), selected);
    EXPECT_FALSE(store->toastMessage() && *store->toastMessage() == "from the phone");
    ASSERT_TRUE(store->item(remote));
    EXPECT_EQ(store->item(remote)->sourceAppName, "Synced");
    EXPECT_TRUE(sync->bookkeeping().state(kEmail).reportedIDs.count(lower(remote)));

    // A clip another account owns is neither in the snapshot nor deleted by this account.
    ClipItem foreignClip = makeClip("someone else's");
    const Uuid foreign = foreignClip.id;
    sync->bookkeeping().markReported(lower(foreign), "other@example.org");
    store->insert(foreignClip);
    EXPECT_EQ(engine->notedClips.size(), afterSignIn + 1) << "the hook skips a clip another account owns";
    const auto snapshot = engine->callbacks.localClipsSnapshot();
    bool sawForeign = false, sawRemote = false;
    for (const auto& clip : snapshot) {
        sawForeign |= clip.clientID == lower(foreign);
        sawRemote |= clip.clientID == lower(remote);
    }
    EXPECT_FALSE(sawForeign);
    EXPECT_TRUE(sawRemote) << snapshot.size();
    engine->callbacks.applyMergeAction(sync::SyncMergeDeleteExisting{lower(foreign)});
    EXPECT_TRUE(store->item(foreign));

    // Echo check: a second activation sends nothing already acknowledged.
    engine->callbacks.localChangesAcknowledged({lower(before), lower(captured)}, {});
    const std::size_t noted = engine->notedClips.size();
    clock.advance(31s);
    sync->applicationDidBecomeActive();
    ASSERT_TRUE(pumpUntil([&] { return !sync->hasLifecycleTask(); }));
    EXPECT_EQ(engine->notedClips.size(), noted);
}

// Mend: a remote delete never takes a favourite of this machine.
TEST_F(SyncCoordinatorFlow, ARemoteDeleteKeepsAPinnedClipAndSettlesTheBookkeeping) {
    makeCoordinator();
    signInScripted();
    const Uuid pinned = addText("favourite");
    store->togglePinned(*store->item(pinned));
    const Uuid plain = addText("plain");
    engine->callbacks.applyMergeAction(sync::SyncMergeDeleteExisting{lower(pinned)});
    engine->callbacks.applyMergeAction(sync::SyncMergeDeleteExisting{lower(plain)});
    EXPECT_FALSE(store->item(plain));
    // Kept under a new id, so the delete, replayed by a pull from 0, never finds it again.
    EXPECT_FALSE(store->item(pinned));
    ASSERT_EQ(store->items().size(), 1u);
    const ClipItem kept = store->items().front();
    EXPECT_EQ(kept.text, "favourite");
    EXPECT_TRUE(kept.isPinned);
    const auto state = sync->bookkeeping().state(kEmail);
    EXPECT_FALSE(state.pendingPushIDs.count(lower(kept.id)));
    EXPECT_TRUE(state.reportedIDs.count(lower(kept.id))) << "kept, and not pushed back";
    EXPECT_FALSE(state.reportedIDs.count(lower(plain)));
}

// Mend: a new account starts clean and receives every local clip.
TEST_F(SyncCoordinatorFlow, ANewAccountUploadsEveryLocalClip) {
    const Uuid a = addText("one");
    const Uuid b = addText("two");
    makeCoordinator();
    sync->bookkeeping().markReported(lower(a), kEmail);
    sync->bookkeeping().markReported(lower(b), kEmail);
    defaults.set(SyncCoordinator::kLegacyPendingDeleteKey, nlohmann::json::array({lower(a)}));
    ASSERT_EQ(answerOf([&](auto done) { sync->createAccount(kEmail, "long password!", "long password!", done); }),
              std::nullopt);
    std::set<std::string> noted;
    for (const auto& clip : engine->notedClips) noted.insert(clip.id);
    EXPECT_EQ(noted, (std::set<std::string>{lower(a), lower(b)}));
    EXPECT_TRUE(engine->notedDeletes.empty()) << "no legacy deletion moved into the new account";
    EXPECT_TRUE(defaults.object(SyncCoordinator::kLegacyPendingDeleteKey)) << "left for the account it belongs to";
    EXPECT_EQ(engine->calls.back(), "start");
    EXPECT_EQ(engine->callsStartingWith("syncNow").size(), 1u) << "no sync before reconcile on creation";
}

// Mend: a manual sync answers with the outcome of the newest run.
TEST_F(SyncCoordinatorFlow, SyncNowReportsTheNewestRun) {
    makeCoordinator();
    engine->storedAccount = kEmail;
    bool answered = false;
    std::optional<std::string> result;
    sync->syncNow([&](std::optional<std::string> error) {
        answered = true;
        result = error;
    });
    // A later activation supersedes the run the manual sync started; its failure is the answer.
    sync::SyncEngineStatus failed;
    failed.isSignedIn = true;
    failed.email = kEmail;
    failed.lastErrorDescription = "The sync service is temporarily unavailable.";
    engine->statusAfterSync = failed;
    clock.advance(31s);
    sync->applicationDidBecomeActive();
    ASSERT_TRUE(pumpUntil([&] { return answered; }));
    EXPECT_FALSE(sync->hasLifecycleTask());
    EXPECT_EQ(result, "The sync service is temporarily unavailable.");
    EXPECT_EQ(engine->callsStartingWith("start").size(), 1u);
}

TEST_F(SyncCoordinatorFlow, ARejectionSetsTheNoticeUntilSignedOut) {
    makeCoordinator();
    signInScripted();
    engine->callbacks.localClipRejected("x", sync::SyncClipRejection::imageRejected);
    EXPECT_EQ(sync->lastSyncNotice(), "An image was too large to sync and stayed on this computer.");
    engine->callbacks.localClipRejected("x", sync::SyncClipRejection::tooLarge);
    EXPECT_EQ(sync->lastSyncNotice(), "One clip was too large to sync and stayed on this computer.");
    EXPECT_EQ(answerOf([&](auto done) { sync->signOut(done); }), std::nullopt);
    EXPECT_FALSE(sync->lastSyncNotice());
    EXPECT_FALSE(sync->status().isSignedIn);
}

TEST_F(SyncCoordinatorFlow, DeletionsWhileSignedOutWaitForTheirAccount) {
    makeCoordinator();
    const Uuid gone = addText("to delete");
    store->deleteItem(*store->item(gone));
    EXPECT_TRUE(engine->notedDeletes.empty());
    signInScripted();
    ASSERT_EQ(engine->notedDeletes.size(), 0u) << "an unowned deletion had no account to wait for";

    const Uuid mine = addText("mine");
    store->deleteItem(*store->item(mine));
    ASSERT_EQ(engine->notedDeletes.size(), 1u);
    EXPECT_EQ(engine->notedDeletes[0], (std::vector<std::string>{lower(mine)}));
}

// An edit hands sync the old record's delete (with the old date) before the new text: the
// other devices drop the old text, and a push of it still queued is withdrawn. An edit back to
// the original takes a third id. A New Text Clip placeholder waits for its editor: typed over,
// it never goes; kept, it goes once the editor closes.
TEST_F(SyncCoordinatorFlow, AnEditDeletesTheOldRecordBeforeItHandsOverTheNewText) {
    makeCoordinator();
    signInScripted();
    const auto edit = [&](const Uuid& id, const std::string& text) {
        const ClipItem clip = *store->item(id);
        store->saveEditedText(clip, text);
        for (const auto& held : store->items())
            if (held.text == text) return held.id;
        return Uuid::random();
    };
    store->startNewTextClip();
    const Uuid placeholder = store->editingItem()->id;
    const Uuid typed = edit(placeholder, "typed over the placeholder");
    const Uuid original = addText("before the edit");
    const Uuid changed = edit(original, "after the edit"), back = edit(changed, "before the edit");
    store->startNewTextClip();
    const Uuid kept = store->editingItem()->id;
    pump();
    store->setEditingItem(std::nullopt);
    std::vector<std::string> notes;
    for (const auto& call : engine->calls)
        if (call.rfind("noteLocal", 0) == 0) notes.push_back(call);
    EXPECT_EQ(notes, (std::vector<std::string>{
                         "noteLocalDeletes " + lower(placeholder), "noteLocalClip " + lower(typed),
                         "noteLocalClip " + lower(original), "noteLocalDeletes " + lower(original),
                         "noteLocalClip " + lower(changed), "noteLocalDeletes " + lower(changed),
                         "noteLocalClip " + lower(back), "noteLocalClip " + lower(kept)}));
    ASSERT_EQ(engine->notedDeleteItems.size(), 3u);
    EXPECT_EQ(engine->notedDeleteItems[1][0].createdAt,
              sync::dateFromWireSeconds(sync::wireSeconds(store->item(back)->createdAt)));
}

// A delete carries the time it was made. Acknowledged, it waits unsettled for the pull that
// passes its records; a quit in between hands it to the engine again, as it does a delete made
// again for a later record, until the engine reports it settled.
TEST_F(SyncCoordinatorFlow, DeletesKeepTheirTimeAndWaitUnsettledAcrossAQuit) {
    makeCoordinator();
    signInScripted();
    const Uuid gone = addText("deleted here");
    const auto created = store->item(gone)->createdAt;
    clock.advance(std::chrono::seconds(5));
    store->deleteItem(*store->item(gone));
    ASSERT_EQ(engine->notedDeleteItems.size(), 1u);
    const sync::SyncLocalDelete made{lower(gone), sync::dateFromWireSeconds(sync::wireSeconds(created)),
                                     sync::dateFromWireSeconds(sync::wireSeconds(clock.now()))};
    EXPECT_EQ(engine->notedDeleteItems[0], std::vector{made});
    engine->callbacks.localChangesAcknowledged({}, {lower(gone)});
    const std::string renewed = lower(Uuid::random());
    engine->callbacks.localDeleteRenewed(renewed, 1'700'000'000, 1'700'000'100);
    auto restart = [&] {
        sync.reset();
        makeCoordinator();
        signInScripted();
        std::vector<sync::SyncLocalDelete> handed;
        for (const auto& batch : engine->notedDeleteItems) handed.insert(handed.end(), batch.begin(), batch.end());
        return handed;
    };
    auto acknowledged = made;
    acknowledged.acknowledged = true;
    const sync::SyncLocalDelete pending{renewed, sync::dateFromWireSeconds(1'700'000'000),
                                        sync::dateFromWireSeconds(1'700'000'100)};
    auto handed = restart();
    EXPECT_EQ(std::count(handed.begin(), handed.end(), acknowledged), 1);
    EXPECT_GE(std::count(handed.begin(), handed.end(), pending), 1);
    engine->callbacks.localDeletesSettled({lower(gone)});
    handed = restart();
    EXPECT_EQ(std::count(handed.begin(), handed.end(), acknowledged), 0) << "settled: not handed over again";
}

// Recorded deletes are saved in the step after the one that records them (20,000 take as long
// to encode as to record), and a quit before that step saves them too: loaded back, the same.
TEST_F(SyncCoordinatorFlow, DeletesAreSavedInTheNextStepAndByAQuit) {
    makeCoordinator();
    signInScripted();
    const Uuid first = addText("first"), second = addText("second");
    const auto saved = [&] { return defaults.object(SyncCoordinator::kBookkeepingStorageKey).value_or(nullptr).dump(); };
    const auto loaded = [&] {
        DefaultsBookkeepingPersisting persisting(defaults);
        return sync::SyncBookkeepingStore(persisting, SyncCoordinator::kBookkeepingStorageKey).state(kEmail);
    };
    for (const Uuid& id : {first, second}) {
        const std::string before = saved();
        store->deleteItem(*store->item(id));
        EXPECT_EQ(saved(), before) << "saved in the step that recorded the delete";
        if (id == first) pump(); else sync->shutdown();
        EXPECT_TRUE(loaded().pendingDeleteIDs.count(lower(id)));
        EXPECT_EQ(loaded(), sync->bookkeeping().state(kEmail));
    }
}
