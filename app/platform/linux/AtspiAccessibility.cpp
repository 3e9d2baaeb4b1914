// AT-SPI's headers go first: Qt's keyword macros clash with GLib's.
#include <atspi/atspi.h>

#include "platform/linux/AtspiAccessibility.h"

#include <QPointer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include <unistd.h>

#include "platform/TextInsertion.h"
#include "platform/linux/AccessibilityBusStatus.h"

namespace harbelle {

namespace {

using SteadyClock = std::chrono::steady_clock;

// The one thread that talks to libatspi.
class AtspiThread {
public:
    static AtspiThread& shared() {
        static AtspiThread thread;
        return thread;
    }
    static bool alive() { return alive_.load(); }

    void post(std::function<void()> work) {
        GSource* source = g_idle_source_new();
        g_source_set_callback(
            source,
            [](gpointer data) -> gboolean {
                (*static_cast<std::function<void()>*>(data))();
                return G_SOURCE_REMOVE;
            },
            new std::function<void()>(std::move(work)),
            [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
        g_source_attach(source, context_);
        g_source_unref(source);
    }

    // Worker thread only. The desktop (registry root), or null when AT-SPI cannot start.
    AtspiAccessible* desktop() {
        if (!initialized_) {
            initialized_ = true;
            atspi_set_timeout(AtspiAccessibility::callTimeoutMs, -1);  // no 15 s grace for new apps
            if (atspi_init() > 1) return nullptr;
            atspi_set_main_context(context_);
            desktop_ = atspi_get_desktop(0);
            // libatspi's own reply handlers (the item list an application sends when its
            // connection opens) read states; without a state cache each such read is a blocking
            // call on the connection being dispatched, which waits on itself. Our own reads
            // drop the cached states first (freshStates), so they still ask the application.
            if (desktop_) atspi_accessible_set_cache_mask(desktop_, ATSPI_CACHE_STATES);
        }
        return desktop_;
    }

    // Worker thread only. libatspi opens a private connection per application and attaches it
    // to the process's default GLib context, whoever dispatches that; move it to ours.
    void adoptConnection(AtspiAccessible* object) {
        if (!object) return;
        AtspiApplication* application = ATSPI_OBJECT(object)->app;
        if (!application || !application->bus) return;
        // Returns at once when it is already ours.
        atspi_dbus_connection_setup_with_g_main(application->bus, context_);
    }

    // Worker thread only. From now on remembers, per process, the element that last gained the
    // focus: once another window is active the element no longer says it is focused.
    void trackFocus() {
        if (focusListener_ || !desktop()) return;
        focusListener_ = atspi_event_listener_new(
            [](AtspiEvent* event, void* self) {
                static_cast<AtspiThread*>(self)->focusChanged(event);
                g_boxed_free(ATSPI_TYPE_EVENT, event);
            },
            this, nullptr);
        GError* error = nullptr;
        if (!atspi_event_listener_register(focusListener_, "object:state-changed:focused", &error)) {
            if (error) g_error_free(error);
            g_object_unref(focusListener_);
            focusListener_ = nullptr;
            return;
        }
        // Which of a program's windows was activated last: a remembered field counts only there.
        if (!atspi_event_listener_register(focusListener_, "window:activate", &error) && error) g_error_free(error);
    }

    // Any thread.
    bool remembersFocus(std::int64_t processId) {
        std::lock_guard lock(lastFocusedMutex_);
        return lastFocused_.count(processId) > 0;
    }

    // Worker thread only. The remembered element (new reference), or null.
    AtspiAccessible* lastFocused(std::int64_t processId) {
        std::lock_guard lock(lastFocusedMutex_);
        const auto found = lastFocused_.find(processId);
        return found == lastFocused_.end() ? nullptr : static_cast<AtspiAccessible*>(g_object_ref(found->second));
    }

    // Worker thread only.
    void forgetFocus(std::int64_t processId) { remember(lastFocused_, processId, nullptr); }

    // Worker thread only. The window of the process activated last (new reference), or null.
    AtspiAccessible* lastActivatedWindow(std::int64_t processId) {
        std::lock_guard lock(lastFocusedMutex_);
        const auto found = lastActivated_.find(processId);
        return found == lastActivated_.end() ? nullptr : static_cast<AtspiAccessible*>(g_object_ref(found->second));
    }

    ~AtspiThread() {
        alive_ = false;
        post([this] { g_main_loop_quit(loop_); });
        thread_.join();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }

private:
    AtspiThread() : context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {
        thread_ = std::thread([this] {
            g_main_context_push_thread_default(context_);
            g_main_loop_run(loop_);
            g_main_context_pop_thread_default(context_);
        });
        alive_ = true;
    }

    void focusChanged(AtspiEvent* event) {
        if (!event || !event->source) return;
        const bool activation = event->type && std::string_view(event->type).starts_with("window:activate");
        if (!activation && event->detail1 != 1) return;  // losses say nothing new
        const AtspiObject* base = ATSPI_OBJECT(event->source);
        if (!base->app || !base->app->bus_name) return;
        const std::string busName = base->app->bus_name;
        auto known = processOfBus_.find(busName);
        if (known == processOfBus_.end()) {
            GError* error = nullptr;
            const guint pid = atspi_accessible_get_process_id(event->source, &error);
            if (error) {
                g_error_free(error);
                return;
            }
            known = processOfBus_.emplace(busName, std::int64_t(pid)).first;
        }
        const std::int64_t processId = known->second;
        if (processId <= 0 || processId == std::int64_t(getpid())) return;  // the shelf's own focus
        adoptConnection(event->source);
        remember(activation ? lastActivated_ : lastFocused_, processId, event->source);
    }

    // Worker thread only: the remembered elements are referenced and released here alone.
    void remember(std::map<std::int64_t, AtspiAccessible*>& memory, std::int64_t processId,
                  AtspiAccessible* element) {
        if (element) g_object_ref(element);
        AtspiAccessible* previous = nullptr;
        {
            std::lock_guard lock(lastFocusedMutex_);
            const auto found = memory.find(processId);
            if (found != memory.end()) {
                previous = found->second;
                memory.erase(found);
            }
            if (element) memory.emplace(processId, element);
        }
        if (previous) g_object_unref(previous);
    }

    inline static std::atomic<bool> alive_{false};
    GMainContext* context_;
    GMainLoop* loop_;
    std::thread thread_;
    bool initialized_ = false;
    AtspiAccessible* desktop_ = nullptr;
    AtspiEventListener* focusListener_ = nullptr;
    std::map<std::string, std::int64_t> processOfBus_;
    std::mutex lastFocusedMutex_;
    std::map<std::int64_t, AtspiAccessible*> lastFocused_;  // guarded: the GUI thread asks for keys
    std::map<std::int64_t, AtspiAccessible*> lastActivated_;  // guarded as lastFocused_
};

class AtspiElement final : public AccessibleElement {
public:
    // Takes over the reference.
    AtspiElement(AtspiAccessible* object, std::int64_t processId) : object_(object), processId_(processId) {
        const AtspiObject* base = ATSPI_OBJECT(object);
        identity_ = std::string(base->app && base->app->bus_name ? base->app->bus_name : "") + "|" +
                    (base->path ? base->path : "");
    }
    ~AtspiElement() override {
        // libatspi's bookkeeping lives on the worker; after it is gone the reference is left.
        if (AtspiThread::alive()) AtspiThread::shared().post([object = object_] { g_object_unref(object); });
    }
    std::int64_t processId() const override { return processId_; }
    const std::string& identity() const override { return identity_; }
    AtspiAccessible* object() const { return object_; }

private:
    AtspiAccessible* object_;
    std::int64_t processId_;
    std::string identity_;
};

template <class T>
struct GPtr {
    T* ptr = nullptr;
    GPtr() = default;
    explicit GPtr(T* p) : ptr(p) {}
    GPtr(const GPtr&) = delete;
    GPtr& operator=(const GPtr&) = delete;
    ~GPtr() {
        if (ptr) g_object_unref(ptr);
    }
    T* get() const { return ptr; }
    T* release() {
        T* p = ptr;
        ptr = nullptr;
        return p;
    }
    explicit operator bool() const { return ptr != nullptr; }
};

struct ErrorSlot {
    GError* error = nullptr;
    ~ErrorSlot() { clear(); }
    GError** out() {
        clear();
        return &error;
    }
    void clear() {
        if (error) g_error_free(error);
        error = nullptr;
    }
    explicit operator bool() const { return error != nullptr; }
};

}  // namespace

struct AtspiAccessibility::Job {
    SteadyClock::time_point deadline;
    std::shared_ptr<std::atomic<bool>> abandoned;
    // Worker thread only; looked at before the work and between its calls. While time is left,
    // libatspi's next calls may wait no longer than that: an application that answers nothing
    // (stopped, or busy) would otherwise hold the one worker, and every query queued behind it,
    // for several call timeouts past a deadline its caller has already given up at.
    bool expired() const {
        if (abandoned->load()) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0) return true;
        atspi_set_timeout(int(std::clamp<std::int64_t>(left.count(), kShortestCallTimeoutMs, callTimeoutMs)), -1);
        return false;
    }
    static constexpr std::int64_t kShortestCallTimeoutMs = 10;

    AXStatus statusFor(const ErrorSlot& slot) const {
        if (expired()) return AXStatus::timedOut;
        const char* message = slot.error ? slot.error->message : "";
        const std::string text = message ? message : "";
        if (text.find("NoReply") != std::string::npos || text.find("reply") != std::string::npos ||
            text.find("imeout") != std::string::npos || text.find("hung") != std::string::npos)
            return AXStatus::timedOut;
        if (text.find("no longer exists") != std::string::npos) return AXStatus::noElement;
        return AXStatus::failed;
    }
};

namespace {

using Job = AtspiAccessibility::Job;

// The element's current states, asked of the application rather than read from the cache.
AtspiStateSet* freshStates(AtspiAccessible* object) {
    object->cached_properties &= ~guint(ATSPI_CACHE_STATES);
    return atspi_accessible_get_state_set(object);
}

bool hasState(AtspiAccessible* object, AtspiStateType state) {
    GPtr<AtspiStateSet> states(freshStates(object));
    return states && atspi_state_set_contains(states.get(), state);
}

AXResult<AXElement> makeElement(AtspiAccessible* object, std::int64_t processId) {
    return {AXStatus::success, std::make_shared<AtspiElement>(object, processId)};
}

// The accessible application of a process (new reference), or null with `status` set.
AtspiAccessible* findApplication(std::int64_t processId, const Job& job, AXStatus& status) {
    AtspiAccessible* desktop = AtspiThread::shared().desktop();
    if (!desktop) {
        status = AXStatus::notTrusted;
        return nullptr;
    }
    ErrorSlot error;
    const int count = atspi_accessible_get_child_count(desktop, error.out());
    if (error) {
        status = job.statusFor(error);
        return nullptr;
    }
    for (int i = 0; i < count; ++i) {
        if (job.expired()) {
            status = AXStatus::timedOut;
            return nullptr;
        }
        GPtr<AtspiAccessible> app(atspi_accessible_get_child_at_index(desktop, i, error.out()));
        if (!app) continue;
        AtspiThread::shared().adoptConnection(app.get());
        const guint pid = atspi_accessible_get_process_id(app.get(), error.out());
        AtspiThread::shared().adoptConnection(app.get());  // it may have opened meanwhile
        if (!error && std::int64_t(pid) == processId) return app.release();
    }
    status = AXStatus::noApplication;
    return nullptr;
}

// Depth-first search for the element with the FOCUSED state among showing elements
// (new reference), or null; `status` is set only by a failure that ends the search.
AtspiAccessible* findFocused(AtspiAccessible* node, const Job& job, int depth, int& budget, AXStatus& status) {
    if (job.expired()) {
        status = AXStatus::timedOut;
        return nullptr;
    }
    if (--budget < 0 || depth > 64) return nullptr;
    ErrorSlot error;
    if (depth > 0) {
        GPtr<AtspiStateSet> states(freshStates(node));
        if (!states) return nullptr;
        if (atspi_state_set_contains(states.get(), ATSPI_STATE_FOCUSED)) return static_cast<AtspiAccessible*>(g_object_ref(node));
        if (!atspi_state_set_contains(states.get(), ATSPI_STATE_SHOWING)) return nullptr;
    }
    const int count = atspi_accessible_get_child_count(node, error.out());
    if (error) {
        const AXStatus failure = job.statusFor(error);
        if (failure == AXStatus::timedOut || depth == 0) status = failure;
        return nullptr;
    }
    for (int i = 0; i < count; ++i) {
        GPtr<AtspiAccessible> child(atspi_accessible_get_child_at_index(node, i, error.out()));
        if (error) {
            const AXStatus failure = job.statusFor(error);
            if (failure == AXStatus::timedOut) {
                status = failure;
                return nullptr;
            }
            continue;
        }
        if (!child) continue;
        if (AtspiAccessible* found = findFocused(child.get(), job, depth + 1, budget, status)) return found;
        if (status == AXStatus::timedOut) return nullptr;
    }
    return nullptr;
}

bool sameObject(AtspiAccessible* a, AtspiAccessible* b) {
    if (!a || !b) return false;
    if (a == b) return true;
    const AtspiObject* x = ATSPI_OBJECT(a);
    const AtspiObject* y = ATSPI_OBJECT(b);
    return x->app && y->app && x->app->bus_name && y->app->bus_name && x->path && y->path &&
           std::string_view(x->app->bus_name) == y->app->bus_name && std::string_view(x->path) == y->path;
}

bool isGone(AtspiAccessible* object) {
    GPtr<AtspiStateSet> states(freshStates(object));
    return !states || atspi_state_set_contains(states.get(), ATSPI_STATE_DEFUNCT);
}

// Why an element's states could not be read: `timedOut` when it did not answer in time, which
// says nothing about whether it is still there, otherwise the application's refusal.
AXStatus unreachable(AtspiAccessible* object, const Job& job) {
    if (job.expired()) return AXStatus::timedOut;
    ErrorSlot error;
    // Never cached here (only states are), so this asks the application.
    atspi_accessible_get_role(object, error.out());
    return error ? job.statusFor(error) : AXStatus::timedOut;
}

// The window (a child of the application object) holding an element (new reference), or null.
AtspiAccessible* windowOf(AtspiAccessible* element, AtspiAccessible* application) {
    GPtr<AtspiAccessible> node(static_cast<AtspiAccessible*>(g_object_ref(element)));
    for (int depth = 0; depth < 64 && node; ++depth) {
        ErrorSlot error;
        GPtr<AtspiAccessible> parent(atspi_accessible_get_parent(node.get(), error.out()));
        if (error || !parent) return nullptr;
        if (sameObject(parent.get(), application)) return node.release();
        AtspiAccessible* next = parent.release();
        g_object_unref(node.ptr);
        node.ptr = next;
    }
    return nullptr;
}

// The application's window the user is in (new reference): the one that says it is active, else
// the one activated last (a keyboard grab, the hot key's or the shelf's, takes the active state
// away for a moment), else the only one. Null when that cannot be told.
AtspiAccessible* userWindow(AtspiAccessible* app, std::int64_t processId, const Job& job, AXStatus& status) {
    ErrorSlot error;
    const int count = atspi_accessible_get_child_count(app, error.out());
    if (error) {
        status = job.statusFor(error);
        return nullptr;
    }
    GPtr<AtspiAccessible> only;
    for (int i = 0; i < count; ++i) {
        if (job.expired()) {
            status = AXStatus::timedOut;
            return nullptr;
        }
        GPtr<AtspiAccessible> window(atspi_accessible_get_child_at_index(app, i, error.out()));
        if (error) {
            status = job.statusFor(error);
            return nullptr;
        }
        if (window && hasState(window.get(), ATSPI_STATE_ACTIVE)) return window.release();
        if (count == 1) only.ptr = window.release();
    }
    GPtr<AtspiAccessible> last(AtspiThread::shared().lastActivatedWindow(processId));
    if (last && !isGone(last.get())) {
        ErrorSlot parentError;
        GPtr<AtspiAccessible> parent(atspi_accessible_get_parent(last.get(), parentError.out()));
        if (parent && sameObject(parent.get(), app)) return last.release();
    }
    return only.release();
}

AXResult<AXElement> lookUpFocusedElement(std::int64_t processId, const Job& job) {
    AXStatus status = AXStatus::success;
    GPtr<AtspiAccessible> app(findApplication(processId, job, status));
    if (!app) return {status, {}};
    AtspiThread::shared().adoptConnection(app.get());
    status = AXStatus::success;
    GPtr<AtspiAccessible> window(userWindow(app.get(), processId, job, status));
    if (!window) return {status == AXStatus::success ? AXStatus::noElement : status, {}};
    int budget = 5000;
    AtspiAccessible* found = findFocused(window.get(), job, 0, budget, status);
    // The field lost its focus to the shelf (or to a keyboard grab): the one that last gained it
    // is the user's while it is still there, and only in the window the user is in.
    if (!found && status == AXStatus::success) {
        GPtr<AtspiAccessible> last(AtspiThread::shared().lastFocused(processId));
        if (last) {
            RememberedFieldRead read;
            GPtr<AtspiStateSet> states(freshStates(last.get()));
            if (states) {
                read.defunct = atspi_state_set_contains(states.get(), ATSPI_STATE_DEFUNCT);
                read.showing = atspi_state_set_contains(states.get(), ATSPI_STATE_SHOWING);
                if (!read.defunct && read.showing) {
                    GPtr<AtspiAccessible> home(windowOf(last.get(), app.get()));
                    read.inUserWindow = sameObject(home.get(), window.get());
                }
            } else {
                read.status = unreachable(last.get(), job);
            }
            switch (judgeRememberedField(read)) {
                case RememberedFieldVerdict::take: found = last.release(); break;
                case RememberedFieldVerdict::forget: AtspiThread::shared().forgetFocus(processId); break;
                case RememberedFieldVerdict::keep: break;
            }
            // An unanswered read says nothing about the field: it stays remembered for the next
            // lookup, and this one has run out of time.
            if (!found && job.expired()) status = AXStatus::timedOut;
        }
    }
    if (!found) return {status == AXStatus::success ? AXStatus::noElement : status, {}};
    return makeElement(found, processId);
}

AXResult<AXElement> lookUpFocusedWindow(std::int64_t processId, const Job& job) {
    AXStatus status = AXStatus::success;
    GPtr<AtspiAccessible> app(findApplication(processId, job, status));
    if (!app) return {status, {}};
    status = AXStatus::success;
    AtspiAccessible* window = userWindow(app.get(), processId, job, status);
    if (!window) return {status == AXStatus::success ? AXStatus::noElement : status, {}};
    return makeElement(window, processId);
}

// The whole text of a text element, with each embedded object (a paragraph of an editable block,
// a link) read as its own text, so that a paste inside a paragraph changes the block's text too.
std::optional<std::string> readableText(AtspiAccessible* object, AtspiText* text, const Job& job, int depth,
                                        int& budget) {
    ErrorSlot error;
    const int count = atspi_text_get_character_count(text, error.out());
    if (error) return std::nullopt;
    gchar* raw = atspi_text_get_text(text, 0, count, error.out());
    std::optional<std::string> value;
    if (!error && raw) value = std::string(raw);
    g_free(raw);
    if (!value || !holdsEmbeddedObjects(*value) || depth >= 16) return value;
    GPtr<AtspiHypertext> hypertext(atspi_accessible_get_hypertext_iface(object));
    if (!hypertext) return value;
    return withEmbeddedObjectsExpanded(*value, [&](int offset) -> std::optional<std::string> {
        if (--budget < 0 || job.expired()) return std::nullopt;
        ErrorSlot linkError;
        const int index = atspi_hypertext_get_link_index(hypertext.get(), offset, linkError.out());
        if (linkError || index < 0) return std::nullopt;
        GPtr<AtspiHyperlink> link(atspi_hypertext_get_link(hypertext.get(), index, linkError.out()));
        if (!link) return std::nullopt;
        GPtr<AtspiAccessible> child(atspi_hyperlink_get_object(link.get(), 0, linkError.out()));
        if (!child) return std::nullopt;
        GPtr<AtspiText> childText(atspi_accessible_get_text_iface(child.get()));
        if (!childText) return std::nullopt;
        return readableText(child.get(), childText.get(), job, depth + 1, budget);
    });
}

AXResult<ElementInfo> readInfo(AtspiAccessible* object, const Job& job) {
    AtspiThread::shared().adoptConnection(object);
    ElementInfo info;
    ErrorSlot error;
    gchar* role = atspi_accessible_get_role_name(object, error.out());
    if (error || !role) {
        g_free(role);
        return {error ? job.statusFor(error) : AXStatus::failed, {}};
    }
    info.role = role;
    g_free(role);
    GPtr<AtspiStateSet> states(freshStates(object));
    if (states) {
        info.editable = atspi_state_set_contains(states.get(), ATSPI_STATE_EDITABLE);
        info.focused = atspi_state_set_contains(states.get(), ATSPI_STATE_FOCUSED);
    }
    if (job.expired()) return {AXStatus::timedOut, {}};
    GPtr<AtspiText> text(atspi_accessible_get_text_iface(object));
    if (!text) return {AXStatus::success, info};
    const int count = atspi_text_get_character_count(text.get(), error.out());
    if (error) return {job.statusFor(error), {}};
    info.characterCount = count;
    int budget = 500;
    info.value = readableText(object, text.get(), job, 0, budget);
    const int caret = atspi_text_get_caret_offset(text.get(), error.out());
    if (!error && caret >= 0) info.caretOffset = caret;
    const int selections = atspi_text_get_n_selections(text.get(), error.out());
    if (!error && selections > 0) {
        AtspiRange* range = atspi_text_get_selection(text.get(), 0, error.out());
        if (!error && range && range->start_offset != range->end_offset)
            info.selection = TextRange{std::min(range->start_offset, range->end_offset),
                                       std::max(range->start_offset, range->end_offset)};
        g_free(range);
    }
    if (job.expired()) return {AXStatus::timedOut, {}};
    return {AXStatus::success, info};
}

// The caret and the first selected range of a text element, as one read gives them.
struct CaretAndSelection {
    bool read = false;
    int caret = -1;
    int selectionStart = 0;
    int selectionEnd = 0;
    bool hasSelection() const { return selectionStart != selectionEnd; }
    bool operator==(const CaretAndSelection&) const = default;
};

CaretAndSelection readCaretAndSelection(AtspiText* text) {
    CaretAndSelection read;
    if (!text) return read;
    ErrorSlot error;
    read.caret = atspi_text_get_caret_offset(text, error.out());
    if (error || read.caret < 0) return read;
    const int selections = atspi_text_get_n_selections(text, error.out());
    if (error) return read;
    if (selections > 0) {
        AtspiRange* range = atspi_text_get_selection(text, 0, error.out());
        if (!error && range) {
            read.selectionStart = std::min(range->start_offset, range->end_offset);
            read.selectionEnd = std::max(range->start_offset, range->end_offset);
        }
        g_free(range);
    }
    read.read = true;
    return read;
}

// Whether a window of the element's application says it is the active one.
bool applicationHasActiveWindow(AtspiAccessible* object, const Job& job) {
    ErrorSlot error;
    GPtr<AtspiAccessible> application(atspi_accessible_get_application(object, error.out()));
    if (!application || job.expired()) return false;
    const int count = atspi_accessible_get_child_count(application.get(), error.out());
    for (int i = 0; !error && i < count && !job.expired(); ++i) {
        GPtr<AtspiAccessible> window(atspi_accessible_get_child_at_index(application.get(), i, error.out()));
        if (window && hasState(window.get(), ATSPI_STATE_ACTIVE)) return true;
    }
    return false;
}

// The window manager has activated the field's window, but a busy application may not have
// heard yet. Waits until the application's own window says it is active, then tells whether
// the field has the focus back; gives up early enough to leave the grab its time.
bool focusReturnsWithTheWindow(AtspiAccessible* object, const Job& job) {
    constexpr auto kLeftForTheGrab = std::chrono::milliseconds(250);
    constexpr auto kPollInterval = std::chrono::milliseconds(10);
    while (!job.expired() && SteadyClock::now() + kLeftForTheGrab < job.deadline) {
        if (hasState(object, ATSPI_STATE_FOCUSED)) return true;
        // A stopped application answers nothing: each call waits its timeout, so the deadline
        // is looked at between any two calls.
        if (job.expired()) return false;
        if (applicationHasActiveWindow(object, job)) return !job.expired() && hasState(object, ATSPI_STATE_FOCUSED);
        std::this_thread::sleep_for(kPollInterval);
    }
    return false;
}

// Whether another element of the element's window has the focus while that window is active:
// the user moved the focus on (Tab) before the hot key, and that focus is theirs.
bool focusMovedOnInItsWindow(AtspiAccessible* object, const Job& job) {
    ErrorSlot error;
    GPtr<AtspiAccessible> application(atspi_accessible_get_application(object, error.out()));
    if (!application) return false;
    if (job.expired()) return false;
    GPtr<AtspiAccessible> window(windowOf(object, application.get()));
    if (!window || job.expired() || !hasState(window.get(), ATSPI_STATE_ACTIVE)) return false;
    int budget = 5000;
    AXStatus status = AXStatus::success;
    GPtr<AtspiAccessible> focused(findFocused(window.get(), job, 0, budget, status));
    // Only another field counts: a window's own parts can say they are focused while it changes.
    return focused && !sameObject(focused.get(), object) && !job.expired() &&
           hasState(focused.get(), ATSPI_STATE_EDITABLE);
}

AXResult<bool> grabFocus(AtspiAccessible* object, const Job& job) {
    AtspiThread::shared().adoptConnection(object);
    // GTK selects a whole entry when it is given the focus, so a paste would replace all of
    // it, and the entry takes the primary selection from whoever held it: a field that has the
    // focus again (its window was activated) is left alone, and otherwise the user's caret and
    // selection are put back after the grab.
    if (focusReturnsWithTheWindow(object, job)) return {AXStatus::success, true};
    // Not taken back from the user: the caller reads the focused element again.
    if (job.expired()) return {AXStatus::timedOut, false};
    if (focusMovedOnInItsWindow(object, job)) return {AXStatus::success, false};
    if (job.expired()) return {AXStatus::timedOut, false};
    GPtr<AtspiComponent> component(atspi_accessible_get_component_iface(object));
    if (!component) return {AXStatus::notSupported, false};
    GPtr<AtspiText> text(atspi_accessible_get_text_iface(object));
    const CaretAndSelection before = readCaretAndSelection(text.get());
    if (job.expired()) return {AXStatus::timedOut, false};
    ErrorSlot error;
    atspi_component_grab_focus(component.get(), error.out());
    if (error) return {job.statusFor(error), false};
    if (job.expired()) return {AXStatus::timedOut, false};
    if (before.read) {
        const CaretAndSelection after = readCaretAndSelection(text.get());
        if (after.read && !(after == before)) {
            if (before.hasSelection()) {
                atspi_text_set_selection(text.get(), 0, before.selectionStart, before.selectionEnd, error.out());
            } else {
                if (after.hasSelection()) atspi_text_remove_selection(text.get(), 0, error.out());
                error.clear();
                atspi_text_set_caret_offset(text.get(), before.caret, error.out());
            }
            error.clear();
        }
    }
    return {AXStatus::success, hasState(object, ATSPI_STATE_FOCUSED)};
}

// Qt's line edit inserts by setting its whole text, which moves the caret to the end; the user
// expects it right after the clip, as typing the clip would leave it. The clip's length is
// taken from the field's own count, so it is in the unit its offsets use.
void keepCaretAfterInsertion(AtspiText* text, int position, int countBefore) {
    ErrorSlot error;
    const int countAfter = atspi_text_get_character_count(text, error.out());
    if (error || countAfter < countBefore) return;
    const int wanted = position + (countAfter - countBefore);
    const int caret = atspi_text_get_caret_offset(text, error.out());
    if (error || caret == wanted) return;
    atspi_text_set_caret_offset(text, wanted, error.out());
}

// Whether the field's character count moved away from `countBefore`; a field may apply the edit a
// moment after answering, so it is read again for a short while.
bool fieldGrew(AtspiText* text, int countBefore, const Job& job) {
    constexpr auto kSettle = std::chrono::milliseconds(150);
    const auto until = SteadyClock::now() + kSettle;
    for (;;) {
        ErrorSlot error;
        const int count = atspi_text_get_character_count(text, error.out());
        if (!error && count != countBefore) return true;
        if (job.expired() || SteadyClock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

AXResult<bool> insertAtSelection(AtspiAccessible* object, const std::string& text, const Job& job) {
    AtspiThread::shared().adoptConnection(object);
    if (text.empty()) return {AXStatus::failed, false};
    GPtr<AtspiEditableText> editable(atspi_accessible_get_editable_text_iface(object));
    GPtr<AtspiText> readable(atspi_accessible_get_text_iface(object));
    if (!editable || !readable || !hasState(object, ATSPI_STATE_EDITABLE)) return {AXStatus::notSupported, false};

    ErrorSlot error;
    std::optional<TextRange> selection;
    const int selections = atspi_text_get_n_selections(readable.get(), error.out());
    if (error) return {job.statusFor(error), false};
    if (selections > 0) {
        AtspiRange* range = atspi_text_get_selection(readable.get(), 0, error.out());
        if (!error && range) selection = TextRange{range->start_offset, range->end_offset};
        g_free(range);
        if (error) return {job.statusFor(error), false};
    }
    const int caret = atspi_text_get_caret_offset(readable.get(), error.out());
    if (error) return {job.statusFor(error), false};
    // The caret of a rich field lies in one of its paragraphs, which the field gives as one
    // character each: an offset there names no place in the text. Its paste key puts the clip
    // where the caret really is.
    const int length = atspi_text_get_character_count(readable.get(), error.out());
    if (error) return {job.statusFor(error), false};
    gchar* whole = atspi_text_get_text(readable.get(), 0, length, error.out());
    const bool rich = whole && holdsEmbeddedObjects(whole);
    g_free(whole);
    if (error) return {job.statusFor(error), false};
    if (rich) return {AXStatus::notSupported, false};

    // Only the application object answers for the toolkit (Qt gives other objects "").
    std::string toolkitName;
    GPtr<AtspiAccessible> application(atspi_accessible_get_application(object, error.out()));
    if (application) {
        gchar* toolkit = atspi_accessible_get_toolkit_name(application.get(), error.out());
        if (toolkit) toolkitName = toolkit;
        g_free(toolkit);
    }
    error.clear();

    const InsertionPlan plan = planInsertion(selection, caret, text, insertionLengthUnit(toolkitName));
    // Nothing is changed once the caller has given up on the answer.
    if (job.expired()) return {AXStatus::timedOut, false};
    if (plan.deleteRange) {
        atspi_editable_text_delete_text(editable.get(), plan.deleteRange->start, plan.deleteRange->end, error.out());
        if (error) return {job.statusFor(error), false};
    }
    const int countBefore = atspi_text_get_character_count(readable.get(), error.out());
    error.clear();
    const gboolean inserted =
        atspi_editable_text_insert_text(editable.get(), plan.position, text.c_str(), plan.length, error.out());
    if (error) return {job.statusFor(error), false};
    if (!inserted) return {AXStatus::failed, false};
    if (countBefore < 0) return {AXStatus::success, true};
    // Some fields answer yes and change nothing: only a field that grew holds the clip.
    if (!fieldGrew(readable.get(), countBefore, job)) return {AXStatus::failed, false};
    keepCaretAfterInsertion(readable.get(), plan.position, countBefore);
    return {AXStatus::success, true};
}

AtspiAccessible* objectOf(const AXElement& element) {
    auto* atspi = dynamic_cast<const AtspiElement*>(element.get());
    return atspi ? atspi->object() : nullptr;
}

}  // namespace

AtspiAccessibility::AtspiAccessibility(Clock& clock)
    : clock_(clock), receiver_(std::make_unique<QObject>()), results_(receiver_.get()) {
    busStatus_ = std::make_unique<AccessibilityBusStatus>([this] {
        trackFocusWhenEnabled();
        if (onTrustChanged) onTrustChanged();
    });
}

void AtspiAccessibility::trackFocusWhenEnabled() {
    if (trackingFocus_ || !busStatus_->enabled()) return;
    trackingFocus_ = true;
    AtspiThread::shared().post([] { AtspiThread::shared().trackFocus(); });
}

bool AtspiAccessibility::remembersFocusedElement(std::int64_t processId) {
    return isTrusted() && AtspiThread::shared().remembersFocus(processId);
}

AtspiAccessibility::~AtspiAccessibility() {
    results_.close();
    for (auto& [id, waiting] : waiting_) {
        waiting.timer.cancel();
        waiting.abandoned->store(true);
    }
    waiting_.clear();
    receiver_.reset();  // drops results already posted
}

bool AtspiAccessibility::isAvailable() {
    busStatus_->start();
    return busStatus_->available();
}

bool AtspiAccessibility::isTrusted() {
    busStatus_->start();
    trackFocusWhenEnabled();
    return busStatus_->enabled();
}

bool AtspiAccessibility::requestTrust() {
    busStatus_->start();
    if (busStatus_->available() && !busStatus_->enabled()) busStatus_->enable();
    return busStatus_->enabled();
}

template <class T>
void AtspiAccessibility::run(Milliseconds deadline, QObject* context, std::function<AXResult<T>(const Job&)> work,
                             Reply<T> reply) {
    const std::uint64_t id = nextId_++;
    const bool guarded = context != nullptr;
    QPointer<QObject> guard(context);
    Waiting waiting;
    waiting.abandoned = std::make_shared<std::atomic<bool>>(false);
    waiting.context = context;
    waiting.finish = [guarded, guard, reply = std::move(reply)](std::any* result) {
        if (guarded && !guard) return;
        if (!result) {
            reply(AXResult<T>{AXStatus::timedOut, {}});
            return;
        }
        reply(std::any_cast<AXResult<T>>(std::move(*result)));
    };
    waiting.timer = clock_.schedule(deadline, [this, id] { complete(id, nullptr); });
    Job job{SteadyClock::now() + deadline, waiting.abandoned};
    waiting_.emplace(id, std::move(waiting));

    if (!isTrusted()) {
        results_.handBack([this, id] {
            std::any result = AXResult<T>{AXStatus::notTrusted, {}};
            complete(id, &result);
        });
        return;
    }
    // The worker may outlive this object; the sender drops its results once it is gone.
    AtspiThread::shared().post([this, job, id, work = std::move(work), sender = results_.sender()] {
        if (job.expired()) return;  // the caller already has its timeout
        std::any result = work(job);
        // libatspi's own calls between jobs (while it dispatches events) get the full timeout.
        atspi_set_timeout(callTimeoutMs, -1);
        sender.post([this, id, result = std::move(result)]() mutable { complete(id, &result); });
    });
}

void AtspiAccessibility::abandon(QObject* context) {
    for (auto& [id, waiting] : waiting_)
        if (context && waiting.context == context) waiting.abandoned->store(true);
}

void AtspiAccessibility::complete(std::uint64_t id, std::any* result) {
    auto found = waiting_.find(id);
    if (found == waiting_.end()) return;
    Waiting waiting = std::move(found->second);
    waiting_.erase(found);
    waiting.timer.cancel();
    waiting.abandoned->store(true);
    waiting.finish(result);
}

void AtspiAccessibility::focusedElement(std::int64_t processId, Milliseconds deadline, QObject* context,
                                        Reply<AXElement> reply) {
    run<AXElement>(deadline, context, [processId](const Job& job) { return lookUpFocusedElement(processId, job); },
                   std::move(reply));
}

void AtspiAccessibility::focusedWindow(std::int64_t processId, Milliseconds deadline, QObject* context,
                                       Reply<AXElement> reply) {
    run<AXElement>(deadline, context, [processId](const Job& job) { return lookUpFocusedWindow(processId, job); },
                   std::move(reply));
}

void AtspiAccessibility::readElement(const AXElement& element, Milliseconds deadline, QObject* context,
                                     Reply<ElementInfo> reply) {
    run<ElementInfo>(
        deadline, context,
        [element](const Job& job) -> AXResult<ElementInfo> {
            AtspiAccessible* object = objectOf(element);
            if (!object) return {AXStatus::noElement, {}};
            return readInfo(object, job);
        },
        std::move(reply));
}

void AtspiAccessibility::setFocus(const AXElement& element, Milliseconds deadline, QObject* context,
                                  Reply<bool> reply) {
    run<bool>(
        deadline, context,
        [element](const Job& job) -> AXResult<bool> {
            AtspiAccessible* object = objectOf(element);
            if (!object) return {AXStatus::noElement, false};
            return grabFocus(object, job);
        },
        std::move(reply));
}

void AtspiAccessibility::insertText(const AXElement& element, const std::string& text, Milliseconds deadline,
                                    QObject* context, StatusReply reply) {
    run<bool>(
        deadline, context,
        [element, text](const Job& job) -> AXResult<bool> {
            AtspiAccessible* object = objectOf(element);
            if (!object) return {AXStatus::noElement, false};
            return insertAtSelection(object, text, job);
        },
        [reply = std::move(reply)](AXResult<bool> result) { reply(result.status); });
}

}  // namespace harbelle

