// SPDX-License-Identifier: GPL-3.0-or-later
// The window's controls, made row by row from the layout table.
#include "ui/form_builder.h"

#include "ui/form_layout.h"

#include <QGroupBox>
#include <QHash>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

// The least contrast between text and background that normal-sized text
// needs to be read (WCAG 2).
constexpr double kReadableContrast = 4.5;

// Relative luminance of an sRGB colour, as WCAG defines it.
double luminance(const QColor& colour)
{
    auto linear = [](double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
    return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF())
        + 0.0722 * linear(colour.blueF());
}

double contrast(const QColor& a, const QColor& b)
{
    const auto [dark, light] = std::minmax({luminance(a), luminance(b)});
    return (light + 0.05) / (dark + 0.05);
}

QColor mix(const QColor& from, const QColor& to, double share)
{
    return QColor::fromRgbF(static_cast<float>(from.redF() + (to.redF() - from.redF()) * share),
                            static_cast<float>(from.greenF() + (to.greenF() - from.greenF()) * share),
                            static_cast<float>(from.blueF() + (to.blueF() - from.blueF()) * share));
}

// A disabled box still looks disabled (its style's background, text dimmed)
// but its text is drawn dark enough to be read: styles dim it to about 1.6:1.
void keepReadableWhenDisabled(QWidget* box)
{
    QPalette palette = box->palette();
    const QColor background = palette.color(QPalette::Disabled, QPalette::Base);
    const QColor dimmed = palette.color(QPalette::Disabled, QPalette::Text);
    const QColor full = palette.color(QPalette::Active, QPalette::Text);
    QColor text = dimmed;
    for (int tenths = 1; tenths <= 10 && contrast(text, background) < kReadableContrast; ++tenths)
        text = mix(dimmed, full, tenths / 10.0);
    palette.setColor(QPalette::Disabled, QPalette::Text, text);
    box->setPalette(palette);
}

// Enter and Return press a focused button, as Space does. QPushButton takes
// them only as a dialog's default button, and this window is no dialog.
class EnterPressesButton final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
            return false;
        // Held down, it presses once, as Space does.
        if (!key->isAutoRepeat())
            static_cast<QAbstractButton*>(watched)->click();
        return true;
    }
};

QRect twipsRect(const form::ControlRow& row)
{
    return QRect(form::pixels(row.left), form::pixels(row.top), form::pixels(row.width),
                 form::pixels(row.height));
}

QWidget* makeControl(const form::ControlRow& row, QWidget* container)
{
    const QString text = QString::fromUtf8(row.text);
    switch (row.kind) {
    case form::Kind::Frame:
        return new QGroupBox(text, container);
    case form::Kind::Label:
        return new QLabel(text, container);
    case form::Kind::TextBox: {
        auto* box = new QLineEdit(container);
        // No limit means none: QLineEdit would stop at 32767 characters,
        // less than the data of a long reply.
        box->setMaxLength(row.limit > 0 ? row.limit : std::numeric_limits<int>::max());
        if (!row.enabled)
            keepReadableWhenDisabled(box);
        box->setText(text);
        box->setCursorPosition(0);
        return box;
    }
    case form::Kind::Option: {
        auto* option = new QRadioButton(text, container);
        option->setChecked(row.selected);
        return option;
    }
    case form::Kind::Button:
        return new QPushButton(text, container);
    }
    return nullptr;
}

void applyTabOrder(QWidget* window)
{
    std::vector<const form::ControlRow*> rows;
    for (const form::ControlRow& row : form::kControls) {
        if (row.kind != form::Kind::Frame && row.kind != form::Kind::Label)
            rows.push_back(&row);
    }
    std::sort(rows.begin(), rows.end(),
              [](const auto* a, const auto* b) { return a->tabIndex < b->tabIndex; });
    QWidget* previous = nullptr;
    for (const form::ControlRow* row : rows) {
        auto* control = window->findChild<QWidget*>(QString::fromLatin1(row->name));
        if (previous)
            QWidget::setTabOrder(previous, control);
        previous = control;
    }
}

} // namespace

void form::buildControls(QWidget* window)
{
    auto* enterPresses = new EnterPressesButton(window);
    QHash<QString, QWidget*> byName;
    for (const form::ControlRow& row : form::kControls) {
        QWidget* container = row.container ? byName.value(QString::fromLatin1(row.container)) : window;
        QWidget* control = makeControl(row, container);
        const QString name = QString::fromLatin1(row.name);
        control->setObjectName(name);
        control->setGeometry(twipsRect(row));
        // Labels fit their caption in the face at hand; Protocol keeps its box.
        if (row.kind == form::Kind::Label && name != QLatin1String("Label1"))
            control->resize(control->sizeHint());
        control->setEnabled(row.enabled);
        if (row.kind == form::Kind::Button)
            control->installEventFilter(enterPresses);
        byName.insert(name, control);
    }
    for (const form::AccessibleName& entry : form::kAccessibleNames)
        byName.value(QString::fromLatin1(entry.control))->setAccessibleName(QString::fromUtf8(entry.name));
    applyTabOrder(window);
}
