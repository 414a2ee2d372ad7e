// SPDX-License-Identifier: GPL-3.0-or-later
// The window's controls, made row by row from the layout table.
#include "ui/form_builder.h"

#include "ui/form_layout.h"

#include <QGroupBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>
#include <vector>

namespace {

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
        if (row.limit > 0)
            box->setMaxLength(row.limit);
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
        byName.insert(name, control);
    }
    for (const form::AccessibleName& entry : form::kAccessibleNames)
        byName.value(QString::fromLatin1(entry.control))->setAccessibleName(QString::fromUtf8(entry.name));
    applyTabOrder(window);
}
