#include "platform/linux/AccessibilityBusStatus.h"

#include <QDBusConnection>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <optional>

namespace harbelle {

namespace {

constexpr const char* kBusService = "org.a11y.Bus";
constexpr const char* kBusPath = "/org/a11y/bus";
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* kStatusInterface = "org.a11y.Status";
// The launcher is never the application being pasted into: a short timeout is enough.
constexpr int kBusTimeoutMs = 500;

QDBusMessage busCall(const QString& interface, const QString& method, const QVariantList& arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall(QString::fromLatin1(kBusService),
                                                          QString::fromLatin1(kBusPath), interface, method);
    message.setArguments(arguments);
    return message;
}

QDBusMessage addressCall() { return busCall(QString::fromLatin1(kBusService), QStringLiteral("GetAddress"), {}); }

QDBusMessage propertiesCall() {
    return busCall(QString::fromLatin1(kPropertiesInterface), QStringLiteral("GetAll"),
                   {QString::fromLatin1(kStatusInterface)});
}

bool readsAddress(const QDBusMessage& reply) {
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           !reply.arguments().first().toString().isEmpty();
}

std::optional<QVariantMap> readsProperties(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return std::nullopt;
    return qdbus_cast<QVariantMap>(reply.arguments().first());
}

bool flag(const QVariantMap& properties, const char* name) {
    const QVariant value = properties.value(QString::fromLatin1(name));
    return value.typeId() == QMetaType::Bool && value.toBool();
}

}  // namespace

AccessibilityBusStatus::AccessibilityBusStatus(std::function<void()> changed) : changed_(std::move(changed)) {}

AccessibilityBusStatus::~AccessibilityBusStatus() = default;

void AccessibilityBusStatus::start(bool waitForFirstAnswer) {
    if (started_) return;
    started_ = true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    bus.connect(QString::fromLatin1(kBusService), QString::fromLatin1(kBusPath), QString::fromLatin1(kPropertiesInterface),
                QStringLiteral("PropertiesChanged"), this, SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
    watcher_ = new QDBusServiceWatcher(QString::fromLatin1(kBusService), bus, QDBusServiceWatcher::WatchForOwnerChange,
                                       this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) {
                if (newOwner.isEmpty()) {
                    update(false, false, false);
                } else {
                    readAsync();
                }
            });
    if (!waitForFirstAnswer) {
        readAsync();
        return;
    }
    // The first answer decides the launch; later ones arrive by signal.
    if (!readsAddress(bus.call(addressCall(), QDBus::Block, kBusTimeoutMs))) return;
    const QVariantMap properties =
        readsProperties(bus.call(propertiesCall(), QDBus::Block, kBusTimeoutMs)).value_or(QVariantMap());
    update(true, flag(properties, "IsEnabled"), flag(properties, "ScreenReaderEnabled"));
}

void AccessibilityBusStatus::enable() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !available_) return;
    const QDBusMessage set = busCall(QString::fromLatin1(kPropertiesInterface), QStringLiteral("Set"),
                                     {QString::fromLatin1(kStatusInterface), QStringLiteral("IsEnabled"),
                                      QVariant::fromValue(QDBusVariant(true))});
    auto* call = new QDBusPendingCallWatcher(bus.asyncCall(set, kBusTimeoutMs), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        readAsync();
    });
}

void AccessibilityBusStatus::readAsync() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    auto* address = new QDBusPendingCallWatcher(bus.asyncCall(addressCall(), kBusTimeoutMs), this);
    connect(address, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        if (!readsAddress(call->reply())) {
            update(false, false, false);
            return;
        }
        auto* properties =
            new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(propertiesCall(), kBusTimeoutMs), this);
        connect(properties, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* reply) {
            reply->deleteLater();
            const auto values = readsProperties(reply->reply());
            if (!values) return;  // keep what we knew rather than guess
            update(true, flag(*values, "IsEnabled"), flag(*values, "ScreenReaderEnabled"));
        });
    });
}

void AccessibilityBusStatus::propertiesChanged(const QString& interface, const QVariantMap& changed,
                                               const QStringList& invalidated) {
    if (interface != QLatin1String(kStatusInterface)) return;
    bool enabled = enabled_;
    bool screenReader = screenReader_;
    if (changed.contains(QStringLiteral("IsEnabled"))) enabled = changed.value(QStringLiteral("IsEnabled")).toBool();
    if (changed.contains(QStringLiteral("ScreenReaderEnabled")))
        screenReader = changed.value(QStringLiteral("ScreenReaderEnabled")).toBool();
    update(true, enabled, screenReader);
    if (!invalidated.isEmpty()) readAsync();
}

void AccessibilityBusStatus::update(bool available, bool enabled, bool screenReader) {
    if (available == available_ && enabled == enabled_ && screenReader == screenReader_) return;
    available_ = available;
    enabled_ = enabled;
    screenReader_ = screenReader;
    if (changed_) changed_();
}

}  // namespace harbelle
