#include "KernoAccessible.h"

#include "CircularProgressWidget.h"
#include "StackPageWidget.h"

#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QCommandLinkButton>

namespace {

class AccessibleProgressCircle : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit AccessibleProgressCircle(CircularProgressWidget* w)
        : QAccessibleWidget(w, QAccessible::ProgressBar) {}

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    QString text(QAccessible::Text t) const override {
        // Read out as "42 %", the way French writes it.
        if (t == QAccessible::Value)
            return QStringLiteral("%1\u00A0%").arg(circle()->value());
        return QAccessibleWidget::text(t);
    }

    QVariant currentValue() const override { return circle()->value(); }
    void setCurrentValue(const QVariant&) override {} // the update sets it, not the reader
    QVariant maximumValue() const override { return circle()->maximum(); }
    QVariant minimumValue() const override { return circle()->minimum(); }
    QVariant minimumStepSize() const override { return 1; }

private:
    CircularProgressWidget* circle() const {
        return static_cast<CircularProgressWidget*>(widget());
    }
};

// A command link opens a web page: a link to a screen reader, pressed like a button.
class AccessibleCommandLink : public QAccessibleWidget {
public:
    explicit AccessibleCommandLink(QCommandLinkButton* w)
        : QAccessibleWidget(w, QAccessible::Link) {}

    QString text(QAccessible::Text t) const override {
        const auto* link = static_cast<QCommandLinkButton*>(widget());
        if (t == QAccessible::Name && link->accessibleName().isEmpty())
            return link->text();
        if (t == QAccessible::Description && link->accessibleDescription().isEmpty())
            return link->description();
        return QAccessibleWidget::text(t);
    }

    QStringList actionNames() const override {
        return QStringList(pressAction()) + QAccessibleWidget::actionNames();
    }

    void doAction(const QString& name) override {
        if (name == pressAction() && widget()->isEnabled())
            static_cast<QAbstractButton*>(widget())->animateClick();
        else
            QAccessibleWidget::doAction(name);
    }
};

QAccessibleInterface* factory(const QString& className, QObject* object) {
    if (className == QLatin1String("StackPageWidget"))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Pane);
    if (className == QLatin1String("CircularProgressWidget"))
        return new AccessibleProgressCircle(static_cast<CircularProgressWidget*>(object));
    if (className == QLatin1String("QCommandLinkButton"))
        return new AccessibleCommandLink(static_cast<QCommandLinkButton*>(object));
    return nullptr;
}

} // namespace

void installKernoAccessibility() {
    static bool installed = false;
    if (!installed)
        QAccessible::installFactory(factory);
    installed = true;
}

void announceProgressValue(QWidget* circle, int value) {
    QAccessibleValueChangeEvent event(circle, value);
    QAccessible::updateAccessibility(&event);
}
