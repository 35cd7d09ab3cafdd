#include "app/DialogTemplate.h"

#include <algorithm>
#include <vector>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include "app/DialogUnits.h"

namespace {

// The desktop font may be wider than the one the layout was made for.
void FitLabel(QLabel& label)
{
    const int needed = label.sizeHint().width();
    if (needed <= label.width())
        return;
    const int right = label.geometry().right();
    label.setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label.setGeometry(std::max(0, right + 1 - needed), label.y(), std::min(needed, right + 1), label.height());
}

QWidget* CreateControl(QWidget* parent, const ControlTemplate& t, const CreateDialogControl& createOwn)
{
    const QString caption = QString::fromLatin1(t.caption);
    switch (t.kind) {
    case ControlKind::Button:
    case ControlKind::DefaultButton: {
        auto* button = new QPushButton(caption, parent);
        button->setDefault(t.kind == ControlKind::DefaultButton);
        return button;
    }
    case ControlKind::PushLikeCheck: {
        auto* button = new QPushButton(caption, parent);
        button->setCheckable(true);
        button->setAutoDefault(false);
        return button;
    }
    case ControlKind::Check:
        return new QCheckBox(caption, parent);
    case ControlKind::Label:
    case ControlKind::FittedLabel:
        return new QLabel(caption, parent);
    case ControlKind::SunkenLabel: {
        auto* label = new QLabel(caption, parent);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        return label;
    }
    case ControlKind::Edit:
    case ControlKind::ReadOnlyEdit: {
        auto* edit = new QLineEdit(parent);
        edit->setReadOnly(t.kind == ControlKind::ReadOnlyEdit);
        return edit;
    }
    case ControlKind::Group:
        return new QGroupBox(caption, parent);
    case ControlKind::Progress: {
        auto* progress = new QProgressBar(parent);
        progress->setTextVisible(false);
        return progress;
    }
    case ControlKind::Slider:
    case ControlKind::Spin:
        return createOwn(parent, t);
    }
    return nullptr;
}

}  // namespace

void CreateTemplateControls(QWidget* parent, std::span<const ControlTemplate> table,
                            std::map<int, QWidget*>& controls, const CreateDialogControl& createOwn)
{
    std::vector<QWidget*> groups;
    for (const ControlTemplate& t : table) {
        QWidget* control = CreateControl(parent, t, createOwn);
        control->setGeometry(MapDialogRect(parent->font(), t.x, t.y, t.width, t.height));
        if (t.kind == ControlKind::FittedLabel)
            FitLabel(*static_cast<QLabel*>(control));
        if (t.kind == ControlKind::Group)
            groups.push_back(control);
        if (t.id)
            controls[t.id] = control;
    }
    for (QWidget* group : groups)
        group->lower();
}
